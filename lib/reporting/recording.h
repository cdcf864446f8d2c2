#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "lib/engine/io_thread.h"
#include "lib/hoststats/host_stats.h"
#include "lib/reporting/measurement.h"
#include "lib/reporting/statistics.h"

namespace kelv {

struct MonitorPair;

// The figures of one progress interval.
struct IntervalResults {
  int32_t successful = 0;    // successful responses handed over in this interval
  int64_t unsuccessful = 0;  // complete responses outside 200 to 299
  int64_t socketErrors = 0;
  double elapsedSeconds = 0;      // since the recording period started
  double intervalSeconds = 0;     // since the previous tick, or the start
  double intervalThroughput = 0;  // successful / intervalSeconds
  // What the progress line shows: intervalThroughput, or on a send schedule the achieved rate
  // (requests sent / intervalSeconds).
  double progressFigure = 0;
  LatencyHistogram latencies;  // the samples handed over in this interval
};

// The samples one tick takes. For the progress line: the first monitor's reply (0 when it is
// not connected or the query failed) and the client's CPU busy fraction (0 when the tick adds
// no sample). For the timeline: what the tick added to each series, if anything.
struct TickSamples {
  double remoteCpu1 = 0;
  double clientCpu = 0;
  std::optional<double> clientCpuSample;
  std::optional<double> remoteCpuSample;         // the first monitor's
  std::optional<double> remoteHostCpuSample;     // the first monitor's host
  std::optional<double> remoteProcessCpuSample;  // the first monitor's chosen processes
};

// What a progress tick took and handed over.
struct TickResult {
  TickSamples samples;
  IntervalResults interval;
};

// The monitors a recording asks, and the processes (a name or a number) each is asked about
// at every tick; empty texts: none.
struct MonitorTargets {
  std::string host1;
  std::string host2;
  std::string process;
};

// Where the client's CPU readings come from.
using CpuReader = CpuReading (*)();

// The recording of a run, owned by the driver and used from the main thread only. Each Start
// begins a period and discards everything gathered before, the threads' counts included, and
// (re)connects the monitors; the timeline alone runs on over the periods, so that it holds
// the warm-up's ticks too. The monitor sockets are closed with the recording.
class Recording {
 public:
  explicit Recording(MonitorTargets monitors = {}, CpuReader cpuReader = readCpuTimes);
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;
  ~Recording();

  // The threads send on this schedule: each period counts the requests due in it, from a
  // moment after its Start to its Stop, and the rate figures.
  void SetSchedule(const SendSchedule& sendSchedule) { schedule = sendSchedule; }
  void Start(const ThreadList& threads, bool warmup = false);
  // One CPU reply of each connected monitor, the first before the second; then each one's
  // host figures (and those of the chosen processes) unless it has shown that it does not know
  // them; then the client's CPU; each appended to its series. A tick whose interval holds no
  // clock tick of the client's CPU time adds to no series that already has a sample: over so
  // short a time the figures read 0 (or a whole processor). The client's interval then goes on
  // into the next tick.
  TickSamples TakeSamples();
  void Sample() { static_cast<void>(TakeSamples()); }
  IntervalResults Interval(const ThreadList& threads);
  // A progress tick: the samples, then the hand-over; its entry goes into the timeline.
  TickResult Tick(const ThreadList& threads);
  void Stop(const ThreadList& threads);

  bool InWarmup() const { return warmup; }
  // The successful responses handed over so far in the period: all of them after Stop.
  int64_t Successful() const { return totals.successful; }
  // Once per recording, at the first call that has service times to go by: the line that says
  // the connections cannot carry the target rate at the service time seen so far (rate x
  // service time > connections), with a connection count that would; empty otherwise.
  std::string TakeCapacityWarning(int connections);
  // The CPU series and memory figures of the latest period.
  const HostFigures& Host() const { return host; }
  // The latest period's figures and the whole timeline, the same every time after Stop until
  // the next Start. The settings and the stop signal are the caller's to fill in.
  Measurement Result() const;
  // The report's figures of Result().
  Results ComputeResults() const { return figuresOf(Result()); }
  void CloseMonitors();

 private:
  struct MonitorSlot {
    std::string hostAndPort;  // empty: never contacted
    int descriptor = -1;      // -1: not connected
    // False once the monitor on this connection answered HOST with anything but figures: an
    // older kelvmon, which is then asked only what it knows.
    bool knowsHost = true;

    bool Connected() const { return descriptor >= 0; }
  };
  struct HandedOver;

  using Records = std::vector<std::unique_ptr<RequestCounters>>;
  Records FreshRecords(const ThreadList& threads, int64_t dueFrom) const;
  int64_t SwapAheadOfEdge(const ThreadList& threads);
  HandedOver AddUp(const Records& records);
  void ResetHostFigures();
  double SampleClientCpu(const CpuReading& now, bool measurable);
  bool AskHost(MonitorSlot& slot, std::string_view command, MonitorPair& reply);
  void SampleRemoteHost(MonitorSlot& slot, RemoteHostFigures& figures, bool measurable);
  void RestartRemoteHost(MonitorSlot& slot);
  void RestartMonitor(MonitorSlot& slot);
  TimelineEntry TimelineEntryOf(const TickResult& tick) const;

  CpuReader readCpu;
  Results totals;              // the counts of every record handed over since the start
  LatencyHistogram latencies;  // every sample handed over since the start
  SendSchedule schedule;       // inactive: the closed loop
  std::unique_ptr<ScheduleCounters> scheduleTotals;       // on a send schedule only
  int64_t dueFrom = std::numeric_limits<int64_t>::min();  // of the period's records
  bool capacityChecked = false;
  bool warmup = false;
  int64_t runStart = 0;  // the first Start: where the timeline's seconds count from
  int64_t runStartWall = 0;
  int64_t startTime = 0;
  int64_t startWall = 0;
  int64_t lastTickTime = 0;
  int64_t endTime = 0;
  int64_t endWall = 0;
  CpuSample clientCpu;
  HostFigures host;
  std::vector<TimelineEntry> timeline;
  MonitorSlot monitor1;
  MonitorSlot monitor2;
  std::string processCommand;  // empty: no processes are asked about
};

}  // namespace kelv
