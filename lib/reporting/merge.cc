#include "lib/reporting/merge.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace kelv {
namespace {

constexpr double NANOS_PER_SECOND = 1e9;

void addRunCounts(Results& total, const Results& run) {
  total.attempted += run.attempted;
  total.successful += run.successful;
  total.unsuccessful += run.unsuccessful;
  total.socketErrors += run.socketErrors;
  total.connectionsOpened += run.connectionsOpened;
  total.bytesWritten += run.bytesWritten;
  total.bytesRead += run.bytesRead;
  for (size_t kind = 0; kind < ERROR_KIND_COUNT; ++kind) total.errors[kind] += run.errors[kind];
  for (size_t code = 0; code < STATUS_CODE_LIMIT; ++code) {
    total.statusCodes[code] += run.statusCodes[code];
  }
}

void addRates(Rates& total, const Rates& run) {
  total.throughput += run.throughput;
  total.sendBandwidth += run.sendBandwidth;
  total.receiveBandwidth += run.receiveBandwidth;
}

void append(std::vector<double>& to, const std::vector<double>& samples) {
  to.insert(to.end(), samples.begin(), samples.end());
}

void addRemoteHost(RemoteHostFigures& total, const RemoteHostFigures& run) {
  append(total.hostCpuSamples, run.hostCpuSamples);
  append(total.busiestCpuSamples, run.busiestCpuSamples);
  append(total.processCpuSamples, run.processCpuSamples);
  total.processMemoryMiB = std::max(total.processMemoryMiB, run.processMemoryMiB);
}

void addHost(HostFigures& total, const HostFigures& run) {
  append(total.clientCpuSamples, run.clientCpuSamples);
  total.clientMemory = std::max(total.clientMemory, run.clientMemory);
  for (int slot = 1; slot <= MONITOR_SLOTS; ++slot) {
    const auto to = monitorSlotFigures(total, slot);
    const auto from = monitorSlotFigures(run, slot);
    append(to.cpuSamples, from.cpuSamples);
    to.memory = std::max(to.memory, from.memory);
    addRemoteHost(to.remote, from.remote);
  }
}

// Rates add up as the throughputs do; the largest lag is the largest of any run.
void addSchedule(ScheduleFigures& total, const ScheduleFigures& run) {
  RateFigures& r = total.rate;
  r.target += run.rate.target;
  r.achieved += run.rate.achieved;
  r.due += run.rate.due;
  r.sent += run.rate.sent;
  r.lateSends += run.rate.lateSends;
  r.maxLagMillis = std::max(r.maxLagMillis, run.rate.maxLagMillis);
  r.unsentAtEnd += run.rate.unsentAtEnd;
  r.inFlightAtEnd += run.rate.inFlightAtEnd;
  total.serviceTimes.Merge(run.serviceTimes);
  total.sendLags.Merge(run.sendLags);
}

// The schedules of runs that all had one; a closed-loop run among them leaves the merge
// without, since its requests were never due.
std::optional<ScheduleFigures> mergedSchedule(const std::vector<MergeInput>& inputs) {
  ScheduleFigures total;
  for (const MergeInput& input : inputs) {
    if (!input.measurement.schedule) return std::nullopt;
    addSchedule(total, *input.measurement.schedule);
  }
  return total;
}

// Where a run's measured period ends: its start by the wall clock plus its length by the
// steady clock, so that a step of the wall clock during the run does not change it.
int64_t measuredEnd(const Measurement& m) {
  return m.measuredStartWall + std::llround(m.counts.elapsedSeconds * NANOS_PER_SECOND);
}

MergedRun mergedRunOf(const MergeInput& input) {
  const Measurement& m = input.measurement;
  return MergedRun{input.file,          m.settings,         m.runStartWall, m.measuredStartWall,
                   m.measuredEndWall,   m.counts.elapsedSeconds, m.stopSignal};
}

// The common window of the runs, and how much of the longest period it covers.
void setWindow(const std::vector<MergeInput>& inputs, MergedMeasurement& merged) {
  Measurement& m = merged.measurement;
  int64_t latestStart = inputs.front().measurement.measuredStartWall;
  int64_t earliestEnd = measuredEnd(inputs.front().measurement);
  double longest = 0;
  for (const MergeInput& input : inputs) {
    latestStart = std::max(latestStart, input.measurement.measuredStartWall);
    earliestEnd = std::min(earliestEnd, measuredEnd(input.measurement));
    longest = std::max(longest, input.measurement.counts.elapsedSeconds);
  }
  m.measuredStartWall = latestStart;
  m.measuredEndWall = std::max(latestStart, earliestEnd);
  m.counts.elapsedSeconds =
      static_cast<double>(m.measuredEndWall - m.measuredStartWall) / NANOS_PER_SECOND;
  merged.overlap = longest > 0 ? std::min(1.0, m.counts.elapsedSeconds / longest) : 1.0;
}

void mergeTimelines(const std::vector<MergeInput>& inputs, Measurement& m) {
  for (size_t run = 0; run < inputs.size(); ++run) {
    const Measurement& from = inputs[run].measurement;
    const double offset = static_cast<double>(from.runStartWall - m.runStartWall) / NANOS_PER_SECOND;
    for (TimelineEntry entry : from.timeline) {
      entry.seconds += offset;
      entry.run = static_cast<int>(run);
      m.timeline.push_back(entry);
    }
  }
  std::stable_sort(m.timeline.begin(), m.timeline.end(),
                   [](const TimelineEntry& a, const TimelineEntry& b) { return a.seconds < b.seconds; });
}

}  // namespace

MergedMeasurement mergeMeasurements(const std::vector<MergeInput>& inputs,
                                    const std::string& name) {
  MergedMeasurement merged;
  if (inputs.empty()) return merged;
  Measurement& m = merged.measurement;
  m.settings = inputs.front().measurement.settings;
  m.settings.connections = 0;
  m.settings.threads = 0;
  m.settings.rate = 0;
  if (!name.empty()) m.settings.name = name;
  m.runStartWall = inputs.front().measurement.runStartWall;
  for (const MergeInput& input : inputs) {
    const Measurement& run = input.measurement;
    m.settings.connections += run.settings.connections;
    m.settings.threads += run.settings.threads;
    m.settings.rate += run.settings.rate;
    addRunCounts(m.counts, run.counts);
    m.latencies.Merge(run.latencies);
    addRates(m.rates, run.rates);
    addHost(m.host, run.host);
    m.runStartWall = std::min(m.runStartWall, run.runStartWall);
    if (m.stopSignal == 0) m.stopSignal = run.stopSignal;
    m.merged.push_back(mergedRunOf(input));
  }
  m.schedule = mergedSchedule(inputs);
  setWindow(inputs, merged);
  mergeTimelines(inputs, m);
  return merged;
}

}  // namespace kelv
