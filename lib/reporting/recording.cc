#include "lib/reporting/recording.h"

#include <unistd.h>

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

  bool Connected() const { return descriptor >= 0; }
};

// Everything a recording period gathers, in one place.
struct RecordingState {
  std::mutex reportLock;  // held for the whole of recordingStart and computeResults
  int64_t totalSuccessful = 0;
  int64_t totalUnsuccessful = 0;
  int64_t totalBytesRead = 0;
  int64_t totalBytesWritten = 0;
  LatencyHistogram latencies;  // every sample handed over since the start
  int64_t startTime = 0;
  int64_t lastTickTime = 0;
  int64_t endTime = 0;
  CpuSample clientCpu;
  HostFigures host;
  MonitorSlot monitor1;
  MonitorSlot monitor2;
};

RecordingState run;

// Successful and other responses, and the latencies, of one hand-over of every thread's
// record.
struct HandedOver {
  int64_t successful = 0;
  int64_t unsuccessful = 0;
  LatencyHistogram latencies;
};

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

// Bytes go to the totals; the response counts and latencies are returned for the caller to
// add.
HandedOver addUp(const Records& records) {
  HandedOver counts;
  for (const auto& r : records) {
    counts.successful += r->successful;
    counts.unsuccessful += r->unsuccessful;
    counts.latencies.Merge(r->latencies);
    run.totalBytesRead += static_cast<int64_t>(r->bytesRead);
    run.totalBytesWritten += static_cast<int64_t>(r->bytesWritten);
  }
  return counts;
}

void addToTotals(const HandedOver& counts) {
  run.totalSuccessful += counts.successful;
  run.totalUnsuccessful += counts.unsuccessful;
  run.latencies.Merge(counts.latencies);
}

void resetTotals() {
  run.totalSuccessful = 0;
  run.totalUnsuccessful = 0;
  socketErrors.exchange(0);
  connectionsOpened.exchange(0);
  run.totalBytesWritten = 0;
  run.totalBytesRead = 0;
}

void resetHostFigures() {
  run.host.clientCpuSamples.clear();
  run.host.remoteCpuSamples1.clear();
  run.host.remoteCpuSamples2.clear();
  // Only a successful query at the stop sets a memory figure; a slot that failed reports 0.
  run.host.remoteMemory1 = 0;
  run.host.remoteMemory2 = 0;
  run.host.clientMemory = 0;
}

// A connected monitor starts a new CPU interval now; one that is not connected is connected.
void restartMonitor(MonitorSlot& slot) {
  if (slot.hostAndPort.empty()) return;
  if (slot.Connected()) {
    static_cast<void>(monitorQuery(MONITOR_CPU_COMMAND, slot.descriptor));  // reply unused
  } else {
    monitorConnect(slot.hostAndPort, slot.descriptor);
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

void recordingStart(const ThreadList& threads) {
  // Made first, so that the reset, the swaps and the switch follow each other closely; what
  // they replace is freed at the end.
  Records fresh = freshRecords(threads);
  LatencyHistogram emptied;
  std::lock_guard<std::mutex> lock(run.reportLock);
  resetTotals();
  std::swap(run.latencies, emptied);
  const Records discarded = swapRecords(threads, std::move(fresh));  // counted before the start
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
  samples.clientCpu = cpuSampleBusy(run.clientCpu);
  run.host.clientCpuSamples.push_back(samples.clientCpu);
  return samples;
}

void recordingSample() { static_cast<void>(recordingTakeSamples()); }

IntervalResults recordingInterval(const ThreadList& threads) {
  Records fresh = freshRecords(threads);
  const int64_t now = timeNow();  // before any hand-over
  HandedOver counts = addUp(swapRecords(threads, std::move(fresh)));
  addToTotals(counts);
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
  recording.store(false);
  const Records last = swapRecords(threads, std::move(fresh));
  run.endTime = timeNow();
  addToTotals(addUp(last));
}

Results computeResults() {
  std::lock_guard<std::mutex> lock(run.reportLock);
  Results counts;
  counts.successful = run.totalSuccessful;
  counts.unsuccessful = run.totalUnsuccessful;
  counts.socketErrors = socketErrors.load();
  counts.connectionsOpened = connectionsOpened.load();
  counts.bytesWritten = run.totalBytesWritten;
  counts.bytesRead = run.totalBytesRead;
  counts.elapsedSeconds = secondsFromNanos(run.endTime - run.startTime);
  return computeStatistics(run.latencies, counts);
}

const HostFigures& hostFigures() { return run.host; }

void closeMonitors() {
  closeMonitor(run.monitor1);
  closeMonitor(run.monitor2);
}

}  // namespace kelv
