#include "lib/reporting/recording.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "lib/hoststats/host_stats.h"
#include "lib/reporting/monitor_client.h"
#include "lib/reporting/request_counters.h"
#include "lib/util/clock.h"

namespace kelv {
namespace {

struct MonitorSlot {
  std::string hostAndPort;  // empty: never contacted
  int descriptor = -1;      // -1: not connected
  // False once the monitor on this connection answered HOST with anything but figures: an
  // older kelvmon, which is then asked only what it knows.
  bool knowsHost = true;

  bool Connected() const { return descriptor >= 0; }
};

// Everything a recording period gathers, in one place.
struct RecordingState {
  std::mutex reportLock;  // held for the whole of recordingStart and computeResults
  Results totals;              // the counts of every record handed over since the start
  LatencyHistogram latencies;  // every sample handed over since the start
  int64_t startTime = 0;
  int64_t lastTickTime = 0;
  int64_t endTime = 0;
  CpuSample clientCpu;
  HostFigures host;
  MonitorSlot monitor1;
  MonitorSlot monitor2;
  std::string processCommand;  // empty: no processes are asked about
};

RecordingState run;
std::atomic<CpuReading (*)()> cpuReaderForTest{nullptr};

CpuReading readClientCpu() {
  CpuReading (*reader)() = cpuReaderForTest.load();
  return reader != nullptr ? reader() : readCpuTimes();
}

// The first sample of a period always counts, so that a period shorter than a clock tick
// still shows its figures.
void appendSample(std::vector<double>& series, double value, bool measurable) {
  if (measurable || series.empty()) series.push_back(value);
}

// The client's sample of a tick, when it counts; otherwise the interval goes on.
double sampleClientCpu(const CpuReading& now, bool measurable) {
  if (!measurable && !run.host.clientCpuSamples.empty()) return 0;
  const double busy = cpuSampleBusyAt(run.clientCpu, now);
  run.host.clientCpuSamples.push_back(busy);
  return busy;
}

using Records = std::vector<std::unique_ptr<RequestCounters>>;

// One fresh record per thread, made ahead of a hand-over so that the swaps follow each other
// and the edge of the period closely: nothing is allocated, merged or freed between them.
Records freshRecords(const ThreadList& threads) {
  Records fresh;
  fresh.reserve(threads.size());
  for (size_t i = 0; i < threads.size(); ++i) fresh.push_back(std::make_unique<RequestCounters>());
  return fresh;
}

// Installs the fresh records in list order; the result holds the records they replaced.
Records swapRecords(const ThreadList& threads, Records records) {
  for (size_t i = 0; i < threads.size(); ++i) {
    records[i] = threads[i]->SwapCounters(std::move(records[i]));
  }
  return records;
}

// The successful responses and the latencies of one hand-over of every thread's record.
struct HandedOver {
  int64_t successful = 0;
  LatencyHistogram latencies;
};

// Adds the records to the run's totals and returns what the interval handed over.
HandedOver addUp(const Records& records) {
  HandedOver counts;
  for (const auto& r : records) {
    counts.successful += r->successful;
    counts.latencies.Merge(r->latencies);
    addCounts(run.totals, *r);
  }
  run.latencies.Merge(counts.latencies);
  return counts;
}

void resetHostFigures() {
  run.host.clientCpuSamples.clear();
  run.host.remoteCpuSamples1.clear();
  run.host.remoteCpuSamples2.clear();
  // Only a successful query at the stop sets a memory figure; a slot that failed reports 0.
  run.host.remoteMemory1 = 0;
  run.host.remoteMemory2 = 0;
  run.host.clientMemory = 0;
  run.host.remoteHost1 = RemoteHostFigures{};
  run.host.remoteHost2 = RemoteHostFigures{};
}

// Asks one command of the host figures; false when the monitor does not give them (it is not
// asked again on this connection) or the query failed.
bool askHost(MonitorSlot& slot, std::string_view command, MonitorPair& reply) {
  if (!slot.Connected() || !slot.knowsHost) return false;
  reply = monitorQueryPair(command, slot.descriptor);
  if (reply.answer == MonitorAnswer::UNKNOWN) slot.knowsHost = false;
  return reply.answer == MonitorAnswer::FIGURES;
}

// The host figures of one tick, and the chosen processes' when they are there; the CPU
// figures of an interval without a clock tick are left out like the client's.
void sampleRemoteHost(MonitorSlot& slot, RemoteHostFigures& figures, bool measurable) {
  MonitorPair reply;
  if (!askHost(slot, MONITOR_HOST_COMMAND, reply)) return;
  appendSample(figures.hostCpuSamples, reply.first, measurable);
  appendSample(figures.busiestCpuSamples, reply.second, measurable);
  if (run.processCommand.empty() || !askHost(slot, run.processCommand, reply)) return;
  appendSample(figures.processCpuSamples, reply.first, measurable);
  figures.processMemoryMiB = reply.second;
}

// The host and process intervals restart with the CPU interval; the replies are not used.
void restartRemoteHost(MonitorSlot& slot) {
  MonitorPair unused;
  if (!askHost(slot, MONITOR_HOST_COMMAND, unused) || run.processCommand.empty()) return;
  static_cast<void>(askHost(slot, run.processCommand, unused));
}

// A connected monitor starts a new CPU interval now; one that is not connected is connected.
void restartMonitor(MonitorSlot& slot) {
  if (slot.hostAndPort.empty()) return;
  if (slot.Connected()) {
    static_cast<void>(monitorQuery(MONITOR_CPU_COMMAND, slot.descriptor));  // reply unused
    restartRemoteHost(slot);
  } else {
    monitorConnect(slot.hostAndPort, slot.descriptor);
    slot.knowsHost = true;  // a new connection may reach a newer monitor
  }
}

void queryMemory(MonitorSlot& slot, double& figure) {
  if (slot.Connected()) figure = monitorQuery(MONITOR_MEM_COMMAND, slot.descriptor);
}

void closeMonitor(MonitorSlot& slot) {
  if (!slot.Connected()) return;
  // Nothing is left to do with a monitor socket whose close fails.
  static_cast<void>(::close(slot.descriptor));
  slot.descriptor = -1;
}

}  // namespace

void setMonitors(const std::string& host1, const std::string& host2) {
  run.monitor1.hostAndPort = host1;
  run.monitor2.hostAndPort = host2;
}

void setMonitorProcess(const std::string& nameOrPid) {
  run.processCommand = nameOrPid.empty() ? std::string() : monitorProcessCommand(nameOrPid);
}

void recordingStart(const ThreadList& threads) {
  // Made first, so that the reset, the swaps and the switch follow each other closely; what
  // they replace is freed at the end.
  Records fresh = freshRecords(threads);
  LatencyHistogram emptied;
  std::lock_guard<std::mutex> lock(run.reportLock);
  run.totals = Results();
  std::swap(run.latencies, emptied);
  const Records discarded = swapRecords(threads, std::move(fresh));  // counted before the start
  cpuSampleStartAt(run.clientCpu, readClientCpu());
  restartMonitor(run.monitor1);
  restartMonitor(run.monitor2);
  run.startTime = run.lastTickTime = timeNow();
  resetHostFigures();
}

TickSamples recordingTakeSamples() {
  TickSamples samples;
  // A failed query disconnects its slot, and still counts as a sample of 0.
  const bool asked1 = run.monitor1.Connected();
  const bool asked2 = run.monitor2.Connected();
  double remoteCpu2 = 0;
  if (asked1) samples.remoteCpu1 = monitorQuery(MONITOR_CPU_COMMAND, run.monitor1.descriptor);
  if (asked2) remoteCpu2 = monitorQuery(MONITOR_CPU_COMMAND, run.monitor2.descriptor);
  const CpuReading now = readClientCpu();
  // A failed reading has no ticks to compare; it gives 0 as it always did.
  const bool measurable = !now.ok || now.ticks != run.clientCpu.ticks;
  samples.clientCpu = sampleClientCpu(now, measurable);
  if (asked1) appendSample(run.host.remoteCpuSamples1, samples.remoteCpu1, measurable);
  if (asked2) appendSample(run.host.remoteCpuSamples2, remoteCpu2, measurable);
  sampleRemoteHost(run.monitor1, run.host.remoteHost1, measurable);
  sampleRemoteHost(run.monitor2, run.host.remoteHost2, measurable);
  return samples;
}

void recordingSample() { static_cast<void>(recordingTakeSamples()); }

IntervalResults recordingInterval(const ThreadList& threads) {
  Records fresh = freshRecords(threads);
  const int64_t now = timeNow();  // before any hand-over
  HandedOver counts = addUp(swapRecords(threads, std::move(fresh)));
  IntervalResults iv;
  iv.latencies = std::move(counts.latencies);
  iv.successful = static_cast<int32_t>(counts.successful);
  iv.intervalSeconds = secondsFromNanos(now - run.lastTickTime);
  iv.elapsedSeconds = secondsFromNanos(now - run.startTime);
  iv.intervalThroughput = static_cast<double>(counts.successful) / iv.intervalSeconds;
  run.lastTickTime = now;
  return iv;
}

void recordingStop(const ThreadList& threads) {
  recordingSample();
  run.host.clientMemory = memoryUseFraction();
  queryMemory(run.monitor1, run.host.remoteMemory1);
  queryMemory(run.monitor2, run.host.remoteMemory2);
  Records fresh = freshRecords(threads);
  const Records last = swapRecords(threads, std::move(fresh));
  run.endTime = timeNow();
  static_cast<void>(addUp(last));  // the last interval's own figures are not shown
}

Results computeResults() {
  std::lock_guard<std::mutex> lock(run.reportLock);
  Results counts = run.totals;
  counts.elapsedSeconds = secondsFromNanos(run.endTime - run.startTime);
  return computeStatistics(run.latencies, counts);
}

int64_t recordingSuccessful() { return run.totals.successful; }

const HostFigures& hostFigures() { return run.host; }

void closeMonitors() {
  closeMonitor(run.monitor1);
  closeMonitor(run.monitor2);
}

void setCpuReaderForTest(CpuReading (*reader)()) { cpuReaderForTest.store(reader); }

}  // namespace kelv
