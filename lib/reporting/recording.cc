#include "lib/reporting/recording.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <utility>
#include <vector>

#include "lib/hoststats/host_stats.h"
#include "lib/reporting/monitor_client.h"
#include "lib/reporting/report.h"
#include "lib/reporting/request_counters.h"
#include "lib/util/clock.h"

namespace kelv {
namespace {

// The first sample of a period always counts, so that a period shorter than a clock tick
// still shows its figures.
void appendSample(std::vector<double>& series, double value, bool measurable) {
  if (measurable || series.empty()) series.push_back(value);
}

// The sample a tick appended to a series that held `before` samples, if it appended one.
std::optional<double> appended(const std::vector<double>& series, size_t before) {
  if (series.size() == before) return std::nullopt;
  return series.back();
}

using Records = std::vector<std::unique_ptr<RequestCounters>>;

// How far ahead of the swaps at a period's start its edge is set on a send schedule; doubled
// until the swaps of every thread fit in.
constexpr int64_t EDGE_LEAD_NANOS = 2'000'000;

// Installs the fresh records in list order; the result holds the records they replaced.
Records swapRecords(const ThreadList& threads, Records records) {
  for (size_t i = 0; i < threads.size(); ++i) {
    records[i] = threads[i]->SwapCounters(std::move(records[i]));
  }
  return records;
}

void queryMemory(int& descriptor, double& figure) {
  if (descriptor >= 0) figure = monitorQuery(MONITOR_MEM_COMMAND, descriptor);
}

void closeMonitor(int& descriptor) {
  if (descriptor < 0) return;
  // Nothing is left to do with a monitor socket whose close fails.
  static_cast<void>(::close(descriptor));
  descriptor = -1;
}

}  // namespace

// The counts of one hand-over of every thread's record.
struct Recording::HandedOver {
  Results counts;
  LatencyHistogram latencies;
  std::unique_ptr<ScheduleCounters> schedule;  // on a send schedule only
};

// One fresh record per thread, made ahead of a hand-over so that the swaps follow each other
// and the edge of the period closely: nothing is allocated, merged or freed between them.
Records Recording::FreshRecords(const ThreadList& threads, int64_t periodDueFrom) const {
  Records fresh;
  fresh.reserve(threads.size());
  for (size_t i = 0; i < threads.size(); ++i) {
    fresh.push_back(std::make_unique<RequestCounters>());
    fresh.back()->dueFrom = periodDueFrom;
    if (schedule.Active()) fresh.back()->schedule = std::make_unique<ScheduleCounters>();
  }
  return fresh;
}

// On a send schedule a period holds the requests due from its edge on. The edge is set a
// moment ahead and every thread's record is swapped before it comes, so that nothing due
// from the edge on can have been counted in the period before; swaps that overran it are
// done again with a later edge. Returns the edge.
int64_t Recording::SwapAheadOfEdge(const ThreadList& threads) {
  for (int64_t lead = EDGE_LEAD_NANOS;; lead *= 2) {
    Records fresh = FreshRecords(threads, 0);
    const int64_t edge = timeNow() + lead;
    for (auto& record : fresh) record->dueFrom = edge;
    const Records discarded = swapRecords(threads, std::move(fresh));
    if (timeNow() < edge) return edge;
  }
}

Recording::Recording(MonitorTargets monitors, CpuReader cpuReader) : readCpu(cpuReader) {
  monitor1.hostAndPort = std::move(monitors.host1);
  monitor2.hostAndPort = std::move(monitors.host2);
  if (!monitors.process.empty()) processCommand = monitorProcessCommand(monitors.process);
}

Recording::~Recording() { CloseMonitors(); }

// Adds the records to the period's totals and returns what the interval handed over.
Recording::HandedOver Recording::AddUp(const Records& records) {
  HandedOver handed;
  if (scheduleTotals != nullptr) handed.schedule = std::make_unique<ScheduleCounters>();
  for (const auto& r : records) {
    handed.latencies.Merge(r->latencies);
    addCounts(handed.counts, *r);
    addCounts(totals, *r);
    if (r->schedule != nullptr && handed.schedule != nullptr) {
      addScheduleCounts(*handed.schedule, *r->schedule);
    }
  }
  latencies.Merge(handed.latencies);
  if (handed.schedule != nullptr) addScheduleCounts(*scheduleTotals, *handed.schedule);
  return handed;
}

void Recording::ResetHostFigures() {
  host.clientCpuSamples.clear();
  host.remoteCpuSamples1.clear();
  host.remoteCpuSamples2.clear();
  // Only a successful query at the stop sets a memory figure; a slot that failed reports 0.
  host.remoteMemory1 = 0;
  host.remoteMemory2 = 0;
  host.clientMemory = 0;
  host.remoteHost1 = RemoteHostFigures{};
  host.remoteHost2 = RemoteHostFigures{};
}

// The client's sample of a tick, when it counts; otherwise the interval goes on.
double Recording::SampleClientCpu(const CpuReading& now, bool measurable) {
  if (!measurable && !host.clientCpuSamples.empty()) return 0;
  const double busy = cpuSampleBusyAt(clientCpu, now);
  host.clientCpuSamples.push_back(busy);
  return busy;
}

// Asks one command of the host figures; false when the monitor does not give them (it is not
// asked again on this connection) or the query failed.
bool Recording::AskHost(MonitorSlot& slot, std::string_view command, MonitorPair& reply) {
  if (!slot.Connected() || !slot.knowsHost) return false;
  reply = monitorQueryPair(command, slot.descriptor);
  if (reply.answer == MonitorAnswer::UNKNOWN) slot.knowsHost = false;
  return reply.answer == MonitorAnswer::FIGURES;
}

// The host figures of one tick, and the chosen processes' when they are there; the CPU
// figures of an interval without a clock tick are left out like the client's.
void Recording::SampleRemoteHost(MonitorSlot& slot, RemoteHostFigures& figures, bool measurable) {
  MonitorPair reply;
  if (!AskHost(slot, MONITOR_HOST_COMMAND, reply)) return;
  appendSample(figures.hostCpuSamples, reply.first, measurable);
  appendSample(figures.busiestCpuSamples, reply.second, measurable);
  if (processCommand.empty() || !AskHost(slot, processCommand, reply)) return;
  appendSample(figures.processCpuSamples, reply.first, measurable);
  figures.processMemoryMiB = reply.second;
}

// The host and process intervals restart with the CPU interval; the replies are not used.
void Recording::RestartRemoteHost(MonitorSlot& slot) {
  MonitorPair unused;
  if (!AskHost(slot, MONITOR_HOST_COMMAND, unused) || processCommand.empty()) return;
  static_cast<void>(AskHost(slot, processCommand, unused));
}

// A connected monitor starts a new CPU interval now; one that is not connected is connected.
void Recording::RestartMonitor(MonitorSlot& slot) {
  if (slot.hostAndPort.empty()) return;
  if (slot.Connected()) {
    static_cast<void>(monitorQuery(MONITOR_CPU_COMMAND, slot.descriptor));  // reply unused
    RestartRemoteHost(slot);
  } else {
    monitorConnect(slot.hostAndPort, slot.descriptor);
    slot.knowsHost = true;  // a new connection may reach a newer monitor
  }
}

void Recording::Start(const ThreadList& threads, bool warmupPeriod) {
  // Made first, so that the reset, the swaps and the switch follow each other closely; what
  // they replace is freed at the end.
  constexpr int64_t EVERYTHING = std::numeric_limits<int64_t>::min();
  Records fresh = schedule.Active() ? Records() : FreshRecords(threads, EVERYTHING);
  LatencyHistogram emptied;
  totals = Results();
  std::swap(latencies, emptied);
  scheduleTotals = schedule.Active() ? std::make_unique<ScheduleCounters>() : nullptr;
  if (schedule.Active()) {
    dueFrom = SwapAheadOfEdge(threads);
  } else {
    dueFrom = EVERYTHING;
    const Records discarded = swapRecords(threads, std::move(fresh));  // counted before the start
  }
  cpuSampleStartAt(clientCpu, readCpu());
  RestartMonitor(monitor1);
  RestartMonitor(monitor2);
  startTime = lastTickTime = schedule.Active() ? dueFrom : timeNow();
  startWall = wallClockNow();
  if (runStart == 0) {
    runStart = startTime;
    runStartWall = startWall;
  }
  warmup = warmupPeriod;
  ResetHostFigures();
}

TickSamples Recording::TakeSamples() {
  TickSamples samples;
  // A failed query disconnects its slot, and still counts as a sample of 0.
  const bool asked1 = monitor1.Connected();
  const bool asked2 = monitor2.Connected();
  double remoteCpu2 = 0;
  if (asked1) samples.remoteCpu1 = monitorQuery(MONITOR_CPU_COMMAND, monitor1.descriptor);
  if (asked2) remoteCpu2 = monitorQuery(MONITOR_CPU_COMMAND, monitor2.descriptor);
  const CpuReading now = readCpu();
  // A failed reading has no ticks to compare; it gives 0 as it always did.
  const bool measurable = !now.ok || now.ticks != clientCpu.ticks;
  const HostFigures before = host;
  samples.clientCpu = SampleClientCpu(now, measurable);
  if (asked1) appendSample(host.remoteCpuSamples1, samples.remoteCpu1, measurable);
  if (asked2) appendSample(host.remoteCpuSamples2, remoteCpu2, measurable);
  SampleRemoteHost(monitor1, host.remoteHost1, measurable);
  SampleRemoteHost(monitor2, host.remoteHost2, measurable);
  samples.clientCpuSample = appended(host.clientCpuSamples, before.clientCpuSamples.size());
  samples.remoteCpuSample = appended(host.remoteCpuSamples1, before.remoteCpuSamples1.size());
  samples.remoteHostCpuSample =
      appended(host.remoteHost1.hostCpuSamples, before.remoteHost1.hostCpuSamples.size());
  samples.remoteProcessCpuSample =
      appended(host.remoteHost1.processCpuSamples, before.remoteHost1.processCpuSamples.size());
  return samples;
}

IntervalResults Recording::Interval(const ThreadList& threads) {
  Records fresh = FreshRecords(threads, dueFrom);
  const int64_t now = timeNow();  // before any hand-over
  HandedOver handed = AddUp(swapRecords(threads, std::move(fresh)));
  IntervalResults iv;
  iv.latencies = std::move(handed.latencies);
  iv.successful = static_cast<int32_t>(handed.counts.successful);
  iv.unsuccessful = handed.counts.unsuccessful;
  iv.socketErrors = handed.counts.socketErrors;
  iv.intervalSeconds = secondsFromNanos(now - lastTickTime);
  iv.elapsedSeconds = secondsFromNanos(now - startTime);
  iv.intervalThroughput = static_cast<double>(handed.counts.successful) / iv.intervalSeconds;
  iv.progressFigure = handed.schedule != nullptr
                          ? static_cast<double>(handed.schedule->sent) / iv.intervalSeconds
                          : iv.intervalThroughput;
  lastTickTime = now;
  return iv;
}

TimelineEntry Recording::TimelineEntryOf(const TickResult& tick) const {
  const IntervalResults& iv = tick.interval;
  TimelineEntry entry;
  entry.warmup = warmup;
  entry.seconds = secondsFromNanos(lastTickTime - runStart);
  entry.responses = static_cast<int64_t>(iv.latencies.Count());
  entry.successfulPerSecond = iv.intervalThroughput;
  entry.unsuccessfulPerSecond = static_cast<double>(iv.unsuccessful) / iv.intervalSeconds;
  entry.errorsPerSecond = static_cast<double>(iv.socketErrors) / iv.intervalSeconds;
  constexpr std::array<double, 4> PERCENTS = {50, 90, 99, 100};
  const std::vector<int64_t> values = iv.latencies.ValuesAtPercentiles(PERCENTS);
  entry.latency50 = millisFromNanos(values[0]);
  entry.latency90 = millisFromNanos(values[1]);
  entry.latency99 = millisFromNanos(values[2]);
  entry.latencyMax = millisFromNanos(values[3]);
  entry.clientCpu = tick.samples.clientCpuSample;
  entry.remoteCpu = tick.samples.remoteCpuSample;
  entry.remoteHostCpu = tick.samples.remoteHostCpuSample;
  entry.remoteProcessCpu = tick.samples.remoteProcessCpuSample;
  return entry;
}

TickResult Recording::Tick(const ThreadList& threads) {
  TickResult tick;
  tick.samples = TakeSamples();
  tick.interval = Interval(threads);
  timeline.push_back(TimelineEntryOf(tick));
  return tick;
}

void Recording::Stop(const ThreadList& threads) {
  Sample();
  host.clientMemory = memoryUseFraction();
  queryMemory(monitor1.descriptor, host.remoteMemory1);
  queryMemory(monitor2.descriptor, host.remoteMemory2);
  // What is counted after the end belongs to no period.
  Records fresh = FreshRecords(threads, std::numeric_limits<int64_t>::max());
  const Records last = swapRecords(threads, std::move(fresh));
  endTime = timeNow();
  endWall = wallClockNow();
  static_cast<void>(AddUp(last));  // the last interval's own figures are not shown
}

Measurement Recording::Result() const {
  Measurement m;
  m.counts = totals;
  m.counts.attempted = totals.successful + totals.unsuccessful;
  m.counts.elapsedSeconds = secondsFromNanos(endTime - startTime);
  m.latencies = latencies;
  m.rates = ratesOf(m.counts);
  if (scheduleTotals != nullptr) {
    // Everything counted was due before the last swap, and so before endTime.
    const int64_t due = schedule.SlotsDueBefore(endTime) - schedule.SlotsDueBefore(startTime);
    m.schedule = ScheduleFigures{rateFiguresOf(schedule.Rate(), due, *scheduleTotals, m.counts),
                                 scheduleTotals->serviceTimes, scheduleTotals->sendLags};
  }
  m.host = host;
  m.timeline = timeline;
  m.runStartWall = runStartWall;
  m.measuredStartWall = startWall;
  m.measuredEndWall = endWall;
  return m;
}

std::string Recording::TakeCapacityWarning(int connections) {
  if (capacityChecked || scheduleTotals == nullptr || scheduleTotals->serviceTimes.Count() == 0) {
    return {};
  }
  capacityChecked = true;
  return capacityWarningLine(schedule.Rate(), connections,
                             scheduleTotals->serviceTimes.TruncatedMean());
}

void Recording::CloseMonitors() {
  closeMonitor(monitor1.descriptor);
  closeMonitor(monitor2.descriptor);
}

}  // namespace kelv
