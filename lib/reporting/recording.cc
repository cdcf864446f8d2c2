#include "lib/reporting/recording.h"

#include <unistd.h>

#include <algorithm>
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
  int64_t totalSuccessful = 0;
  int64_t totalUnsuccessful = 0;
  int64_t totalBytesRead = 0;
  int64_t totalBytesWritten = 0;
  std::vector<std::unique_ptr<RequestCounters>> collected;  // in hand-over order
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

// Successful and other responses of one hand-over of every thread's record.
struct HandedOver {
  int64_t successful = 0;
  int64_t unsuccessful = 0;
};

// Takes every thread's record in list order: bytes go to the totals, the record to
// `collected`; the response counts are returned for the caller to add.
HandedOver takeThreadCounters(const ThreadList& threads) {
  HandedOver counts;
  for (const auto& thread : threads) {
    std::unique_ptr<RequestCounters> r = thread->SwapCounters();
    counts.successful += r->successful;
    counts.unsuccessful += r->unsuccessful;
    run.totalBytesRead += static_cast<int64_t>(r->bytesRead);
    run.totalBytesWritten += static_cast<int64_t>(r->bytesWritten);
    run.collected.push_back(std::move(r));
  }
  return counts;
}

void addToTotals(const HandedOver& counts) {
  run.totalSuccessful += counts.successful;
  run.totalUnsuccessful += counts.unsuccessful;
}

void resetTotals() {
  run.totalSuccessful = 0;
  run.totalUnsuccessful = 0;
  socketErrors.exchange(0);
  connectionsOpened.exchange(0);
  run.totalBytesWritten = 0;
  run.totalBytesRead = 0;
  run.collected.clear();
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

// The host figures of one tick, and the chosen processes' when they are there.
void sampleRemoteHost(MonitorSlot& slot, RemoteHostFigures& figures) {
  MonitorPair reply;
  if (!askHost(slot, MONITOR_HOST_COMMAND, reply)) return;
  figures.hostCpuSamples.push_back(reply.first);
  figures.busiestCpuSamples.push_back(reply.second);
  if (run.processCommand.empty() || !askHost(slot, run.processCommand, reply)) return;
  figures.processCpuSamples.push_back(reply.first);
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

// Every latency sample of the period, sorted ascending.
std::vector<int64_t> sortedLatencies() {
  size_t count = 0;
  for (const auto& r : run.collected) count += r->latencies.size();
  std::vector<int64_t> all;
  all.reserve(count);
  for (const auto& r : run.collected) {
    all.insert(all.end(), r->latencies.begin(), r->latencies.end());
  }
  std::sort(all.begin(), all.end());
  return all;
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
  std::lock_guard<std::mutex> lock(run.reportLock);
  resetTotals();
  // What the threads counted so far is discarded.
  for (const auto& thread : threads) thread->SwapCounters().reset();
  recording.store(true);
  cpuSampleStart(run.clientCpu);
  restartMonitor(run.monitor1);
  restartMonitor(run.monitor2);
  run.startTime = run.lastTickTime = timeNow();
  resetHostFigures();
}

TickSamples recordingTakeSamples() {
  TickSamples samples;
  if (run.monitor1.Connected()) {
    samples.remoteCpu1 = monitorQuery(MONITOR_CPU_COMMAND, run.monitor1.descriptor);
    run.host.remoteCpuSamples1.push_back(samples.remoteCpu1);
  }
  if (run.monitor2.Connected()) {
    const double reply = monitorQuery(MONITOR_CPU_COMMAND, run.monitor2.descriptor);
    run.host.remoteCpuSamples2.push_back(reply);
  }
  sampleRemoteHost(run.monitor1, run.host.remoteHost1);
  sampleRemoteHost(run.monitor2, run.host.remoteHost2);
  samples.clientCpu = cpuSampleBusy(run.clientCpu);
  run.host.clientCpuSamples.push_back(samples.clientCpu);
  return samples;
}

void recordingSample() { static_cast<void>(recordingTakeSamples()); }

IntervalResults recordingInterval(const ThreadList& threads) {
  const int64_t now = timeNow();  // before any hand-over
  const HandedOver counts = takeThreadCounters(threads);
  addToTotals(counts);
  IntervalResults iv;
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
  recording.store(false);
  addToTotals(takeThreadCounters(threads));
  run.endTime = timeNow();
}

Results computeResults() {
  const std::vector<int64_t> latencies = sortedLatencies();
  std::lock_guard<std::mutex> lock(run.reportLock);
  Results counts;
  counts.successful = run.totalSuccessful;
  counts.unsuccessful = run.totalUnsuccessful;
  counts.socketErrors = socketErrors.load();
  counts.connectionsOpened = connectionsOpened.load();
  counts.bytesWritten = run.totalBytesWritten;
  counts.bytesRead = run.totalBytesRead;
  counts.elapsedSeconds = secondsFromNanos(run.endTime - run.startTime);
  return computeStatistics(latencies, counts);
}

const HostFigures& hostFigures() { return run.host; }

void closeMonitors() {
  closeMonitor(run.monitor1);
  closeMonitor(run.monitor2);
}

}  // namespace kelv
