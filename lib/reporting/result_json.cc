#include "lib/reporting/result_json.h"

#include <csignal>
#include <sstream>

#include "lib/reporting/result_json_members.h"
#include "lib/util/wall_time.h"
#include "nlohmann/json.hpp"

namespace kelv {
namespace {

using Json = nlohmann::ordered_json;

using result_members::ERROR_KINDS;
using result_members::MEASURED_PHASE;
using result_members::PERCENT;
using result_members::SIGINT_NAME;
using result_members::SIGTERM_NAME;
using result_members::WARMUP_PHASE;

// The percentiles of a latency summary, their member names and where the figures hold them.
struct PercentileMember {
  const char* name;
  int percent;     // an index of Results::latencyPercent, or -1
  int tail;        // an index of Results::latencyTail, or -1
};
constexpr PercentileMember PERCENTILE_MEMBERS[] = {
    {"50", 50, -1}, {"75", 75, -1}, {"90", 90, -1},    {"95", 95, -1},     {"98", 98, -1},
    {"99", 99, -1}, {"99.9", -1, 0}, {"99.99", -1, 1}, {"100", 100, -1},
};

Json nullWhenEmpty(const std::string& text) { return text.empty() ? Json() : Json(text); }
Json nullWhenZero(double value) { return value == 0 ? Json() : Json(value); }
Json percentOrNull(const std::optional<double>& fraction) {
  return fraction ? Json(*fraction * PERCENT) : Json();
}

Json settingsJson(const RunSettings& s) {
  return Json{{"url", nullWhenEmpty(s.url)},
              {"urlFile", nullWhenEmpty(s.urlFile)},
              {"method", s.method},
              {"connections", s.connections},
              {"threads", s.threads},
              {"durationSeconds", s.durationSeconds},
              {"warmupSeconds", s.warmupSeconds},
              {"keepAlive", s.keepAlive},
              {"thinkTimeMillis", s.thinkTimeMillis},
              {"timeoutSeconds", nullWhenZero(s.timeoutSeconds)},
              {"rate", nullWhenZero(s.rate)},
              {"name", s.name},
              {"oneRequest", s.oneRequest},
              {"monitor", nullWhenEmpty(s.monitor1)},
              {"monitor2", nullWhenEmpty(s.monitor2)},
              {"monitorProcess", nullWhenEmpty(s.monitorProcess)}};
}

Json measuredJson(int64_t startWall, int64_t endWall, double seconds) {
  return Json{{"start", isoTimeMillis(startWall)},
              {"end", isoTimeMillis(endWall)},
              {"seconds", seconds}};
}

Json interruptedJson(int signal) {
  if (signal == SIGINT) return SIGINT_NAME;
  if (signal == SIGTERM) return SIGTERM_NAME;
  return Json();
}

Json countsJson(const Results& r) {
  return Json{{"attempted", r.attempted},         {"successful", r.successful},
              {"non2xx", r.unsuccessful},         {"connectionsOpened", r.connectionsOpened},
              {"socketErrors", r.socketErrors},   {"bytesSent", r.bytesWritten},
              {"bytesReceived", r.bytesRead}};
}

Json bandwidthJson(const Results& r) {
  return Json{{"sendMegabitsPerSecond", r.sendBandwidth},
              {"receiveMegabitsPerSecond", r.receiveBandwidth}};
}

Json errorsJson(const Results& r) {
  Json errors = Json::object();
  for (size_t kind = 0; kind < ERROR_KIND_COUNT; ++kind) errors[ERROR_KINDS[kind]] = r.errors[kind];
  return errors;
}

Json statusCodesJson(const Results& r) {
  Json codes = Json::object();
  for (size_t code = 0; code < STATUS_CODE_LIMIT; ++code) {
    if (r.statusCodes[code] != 0) codes[std::to_string(code)] = r.statusCodes[code];
  }
  return codes;
}

template <class T>
std::string decimal(T value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

Json histogramJson(const LatencyHistogram& h) {
  const LatencyHistogram::Parts parts = h.ToParts();
  Json buckets = Json::array();
  for (const auto& [index, count] : parts.buckets) buckets.push_back(Json::array({index, count}));
  return Json{{"subBucketBits", parts.subBucketBits},
              {"highestTrackedNanos", parts.highestTracked},
              {"count", parts.count},
              {"minNanos", parts.min},
              {"maxNanos", parts.max},
              {"sumNanos", decimal(parts.sum)},
              {"sumOfSquaresNanos2", decimal(parts.sumOfSquares)},
              {"buckets", std::move(buckets)}};
}

// A latency series: its summary from the figures computed of it, and its histogram.
Json latencyJson(const LatencyHistogram& h, const Results& figures) {
  Json percentiles = Json::object();
  for (const PercentileMember& p : PERCENTILE_MEMBERS) {
    percentiles[p.name] = p.percent >= 0 ? figures.latencyPercent[p.percent]
                                         : figures.latencyTail[p.tail];
  }
  return Json{{"count", h.Count()},
              {"average", figures.averageLatency},
              {"minimum", figures.latencyPercent[0]},
              {"maximum", figures.latencyPercent[100]},
              {"stdDev", figures.latencyStdDev},
              {"percentiles", std::move(percentiles)},
              {"histogram", histogramJson(h)}};
}

// How a run on a send schedule kept to it.
Json rateJson(const RateFigures& r) {
  return Json{{"target", r.target},           {"achieved", r.achieved},
              {"lateSends", r.lateSends},     {"maxLagMillis", r.maxLagMillis},
              {"unsentAtEnd", r.unsentAtEnd}, {"inFlightAtEnd", r.inFlightAtEnd},
              {"due", r.due},                 {"sent", r.sent}};
}

// A series of times that is not the report's latency: summarised from itself alone.
Json timesJson(const LatencyHistogram& h) { return latencyJson(h, computeStatistics(h, Results{})); }

// The members only a run on a send schedule has: its service time, its rate figures and its
// send lags.
void addScheduleMembers(Json& result, const ScheduleFigures& schedule) {
  result["serviceTime"] = timesJson(schedule.serviceTimes);
  result["rate"] = rateJson(schedule.rate);
  result["sendLag"] = timesJson(schedule.sendLags);
}

Json samplesJson(const std::vector<double>& fractions) {
  Json samples = Json::array();
  for (double fraction : fractions) samples.push_back(fraction * PERCENT);
  return samples;
}

Json cpuJson(const std::vector<double>& samples) {
  const CpuSeriesFigures figures = cpuSeriesFigures(samples);
  return Json{{"average", figures.averagePercent},
              {"max", figures.maxPercent},
              {"samples", samplesJson(samples)}};
}

Json hostCpuJson(const RemoteHostFigures& remote) {
  if (remote.hostCpuSamples.empty()) return Json();
  const CpuSeriesFigures host = cpuSeriesFigures(remote.hostCpuSamples);
  return Json{{"average", host.averagePercent},
              {"max", host.maxPercent},
              {"busiestMax", cpuSeriesFigures(remote.busiestCpuSamples).maxPercent},
              {"samples", samplesJson(remote.hostCpuSamples)},
              {"busiestSamples", samplesJson(remote.busiestCpuSamples)}};
}

Json processJson(const RemoteHostFigures& remote, const std::string& name) {
  if (remote.processCpuSamples.empty()) return Json();
  return Json{{"name", name},
              {"cpu", cpuJson(remote.processCpuSamples)},
              {"memoryMiB", remote.processMemoryMiB}};
}

// What one monitor slot told, when it answered at all.
void appendMonitor(Json& monitors, const HostFigures& host, int slot, const RunSettings& settings) {
  const auto m = monitorSlotFigures(host, slot);
  if (m.cpuSamples.empty()) return;
  monitors.push_back(Json{{"slot", slot},
                          {"address", slot == 1 ? settings.monitor1 : settings.monitor2},
                          {"cpu", cpuJson(m.cpuSamples)},
                          {"memory", m.memory * PERCENT},
                          {"hostCpu", hostCpuJson(m.remote)},
                          {"process", processJson(m.remote, settings.monitorProcess)}});
}

Json hostJson(const HostFigures& host, const RunSettings& settings) {
  Json monitors = Json::array();
  for (int slot = 1; slot <= MONITOR_SLOTS; ++slot) appendMonitor(monitors, host, slot, settings);
  return Json{{"clientCpu", host.clientCpuSamples.empty() ? Json() : cpuJson(host.clientCpuSamples)},
              {"clientMemory", host.clientMemory * PERCENT},
              {"monitors", std::move(monitors)}};
}

Json tickJson(const TimelineEntry& e) {
  const bool any = e.responses > 0;
  Json tick{{"phase", e.warmup ? WARMUP_PHASE : MEASURED_PHASE},
            {"seconds", e.seconds},
            {"responses", e.responses},
            {"successfulPerSecond", e.successfulPerSecond},
            {"non2xxPerSecond", e.unsuccessfulPerSecond},
            {"errorsPerSecond", e.errorsPerSecond},
            {"latency50", any ? Json(e.latency50) : Json()},
            {"latency90", any ? Json(e.latency90) : Json()},
            {"latency99", any ? Json(e.latency99) : Json()},
            {"latencyMax", any ? Json(e.latencyMax) : Json()},
            {"clientCpu", percentOrNull(e.clientCpu)},
            {"remoteCpu", percentOrNull(e.remoteCpu)},
            {"remoteHostCpu", percentOrNull(e.remoteHostCpu)},
            {"remoteProcessCpu", percentOrNull(e.remoteProcessCpu)}};
  if (e.run >= 0) tick["run"] = e.run;
  return tick;
}

Json timelineJson(const std::vector<TimelineEntry>& timeline) {
  Json ticks = Json::array();
  for (const TimelineEntry& entry : timeline) ticks.push_back(tickJson(entry));
  return ticks;
}

Json mergedJson(const std::vector<MergedRun>& runs) {
  Json merged = Json::array();
  for (const MergedRun& run : runs) {
    merged.push_back(
        Json{{"file", run.file},
             {"started", isoTimeMillis(run.runStartWall)},
             {"measured", measuredJson(run.measuredStartWall, run.measuredEndWall, run.measuredSeconds)},
             {"interrupted", interruptedJson(run.stopSignal)},
             {"settings", settingsJson(run.settings)}});
  }
  return merged;
}

}  // namespace

std::string resultJson(const Measurement& m, const ResultAuthor& author) {
  const Results figures = figuresOf(m);
  Json result{{"format", RESULT_FORMAT},
              {"formatVersion", RESULT_FORMAT_VERSION},
              {"kelvVersion", author.kelvVersion},
              {"revision", author.revision},
              {"settings", settingsJson(m.settings)},
              {"started", isoTimeMillis(m.runStartWall)},
              {"measured", measuredJson(m.measuredStartWall, m.measuredEndWall,
                                        m.counts.elapsedSeconds)},
              {"interrupted", interruptedJson(m.stopSignal)},
              {"counts", countsJson(figures)},
              {"throughput", figures.throughput},
              {"bandwidth", bandwidthJson(figures)},
              {"errors", errorsJson(figures)},
              {"statusCodes", statusCodesJson(figures)},
              {"latency", latencyJson(m.latencies, figures)},
              {"host", hostJson(m.host, m.settings)},
              {"timeline", timelineJson(m.timeline)}};
  if (m.schedule) addScheduleMembers(result, *m.schedule);
  if (!m.merged.empty()) result["merged"] = mergedJson(m.merged);
  return result.dump() + "\n";
}

}  // namespace kelv
