// Reading a result back into a measurement: the members that hold data, checked as they are
// read; the summaries that the writer computed from them (averages, percentiles, maxima) are
// left, since they are computed again from the data.
#include <csignal>
#include <stdexcept>

#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "lib/reporting/result_json.h"
#include "lib/reporting/result_json_members.h"
#include "lib/util/wall_time.h"
#include "nlohmann/json.hpp"

namespace kelv {
namespace {

using Json = nlohmann::json;
using result_members::ERROR_KINDS;
using result_members::PERCENT;

// A result whose members are missing or of the wrong kind; its message names the member.
class Malformed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

const Json& member(const Json& object, const char* key) {
  if (!object.is_object()) throw Malformed(absl::StrCat("an object was expected for \"", key, "\""));
  const auto found = object.find(key);
  if (found == object.end()) throw Malformed(absl::StrCat("\"", key, "\" is missing"));
  return *found;
}

[[noreturn]] void wrongKind(const char* key, const char* expected) {
  throw Malformed(absl::StrCat("\"", key, "\" is not ", expected));
}

int64_t integerOf(const Json& object, const char* key) {
  const Json& value = member(object, key);
  if (!value.is_number_integer()) wrongKind(key, "an integer");
  return value.get<int64_t>();
}

uint64_t countOf(const Json& object, const char* key) {
  const Json& value = member(object, key);
  if (!value.is_number_unsigned()) wrongKind(key, "a count");
  return value.get<uint64_t>();
}

double numberOf(const Json& object, const char* key) {
  const Json& value = member(object, key);
  if (!value.is_number()) wrongKind(key, "a number");
  return value.get<double>();
}

std::optional<double> numberOrNull(const Json& object, const char* key) {
  const Json& value = member(object, key);
  if (value.is_null()) return std::nullopt;
  if (!value.is_number()) wrongKind(key, "a number or null");
  return value.get<double>();
}

bool booleanOf(const Json& object, const char* key) {
  const Json& value = member(object, key);
  if (!value.is_boolean()) wrongKind(key, "true or false");
  return value.get<bool>();
}

// A string; null reads as the empty one where the writer writes null for it.
std::string textOf(const Json& object, const char* key, bool nullable = false) {
  const Json& value = member(object, key);
  if (nullable && value.is_null()) return std::string();
  if (!value.is_string()) wrongKind(key, nullable ? "a string or null" : "a string");
  return value.get<std::string>();
}

const Json& arrayOf(const Json& object, const char* key) {
  const Json& value = member(object, key);
  if (!value.is_array()) wrongKind(key, "an array");
  return value;
}

int64_t timeOf(const Json& object, const char* key) {
  const std::optional<int64_t> wall = parseIsoTime(textOf(object, key));
  if (!wall) wrongKind(key, "a UTC time");
  return *wall;
}

int signalOf(const Json& object) {
  const std::string name = textOf(object, "interrupted", true);
  if (name.empty()) return 0;
  if (name == result_members::SIGINT_NAME) return SIGINT;
  if (name == result_members::SIGTERM_NAME) return SIGTERM;
  wrongKind("interrupted", "null, SIGINT or SIGTERM");
}

RunSettings settingsOf(const Json& object) {
  const Json& s = member(object, "settings");
  RunSettings run;
  run.url = textOf(s, "url", true);
  run.urlFile = textOf(s, "urlFile", true);
  run.method = textOf(s, "method");
  run.connections = static_cast<int32_t>(integerOf(s, "connections"));
  run.threads = static_cast<int32_t>(integerOf(s, "threads"));
  run.durationSeconds = static_cast<int32_t>(integerOf(s, "durationSeconds"));
  run.warmupSeconds = static_cast<int32_t>(integerOf(s, "warmupSeconds"));
  run.keepAlive = booleanOf(s, "keepAlive");
  run.thinkTimeMillis = static_cast<int32_t>(integerOf(s, "thinkTimeMillis"));
  run.timeoutSeconds = numberOrNull(s, "timeoutSeconds").value_or(0);
  run.rate = numberOrNull(s, "rate").value_or(0);
  run.name = textOf(s, "name");
  run.oneRequest = booleanOf(s, "oneRequest");
  run.monitor1 = textOf(s, "monitor", true);
  run.monitor2 = textOf(s, "monitor2", true);
  run.monitorProcess = textOf(s, "monitorProcess", true);
  return run;
}

// The counts, error kinds and status codes, with the measured period's length.
Results countsOf(const Json& object) {
  const Json& c = member(object, "counts");
  Results r;
  r.attempted = integerOf(c, "attempted");
  r.successful = integerOf(c, "successful");
  r.unsuccessful = integerOf(c, "non2xx");
  r.connectionsOpened = integerOf(c, "connectionsOpened");
  r.socketErrors = integerOf(c, "socketErrors");
  r.bytesWritten = integerOf(c, "bytesSent");
  r.bytesRead = integerOf(c, "bytesReceived");
  r.elapsedSeconds = numberOf(member(object, "measured"), "seconds");
  const Json& errors = member(object, "errors");
  for (size_t kind = 0; kind < ERROR_KIND_COUNT; ++kind) {
    r.errors[kind] = integerOf(errors, ERROR_KINDS[kind]);
  }
  const Json& codes = member(object, "statusCodes");
  if (!codes.is_object()) wrongKind("statusCodes", "an object");
  for (const auto& [code, count] : codes.items()) {
    size_t number = 0;
    if (!absl::SimpleAtoi(code, &number) || number >= STATUS_CODE_LIMIT) {
      throw Malformed(absl::StrCat("\"", code, "\" is not a status code"));
    }
    r.statusCodes[number] = integerOf(codes, code.c_str());
  }
  return r;
}

Rates ratesOf(const Json& object) {
  const Json& bandwidth = member(object, "bandwidth");
  return Rates{numberOf(object, "throughput"), numberOf(bandwidth, "sendMegabitsPerSecond"),
               numberOf(bandwidth, "receiveMegabitsPerSecond")};
}

template <class T>
T bigIntegerOf(const Json& object, const char* key) {
  T value = 0;
  if (!absl::SimpleAtoi(textOf(object, key), &value)) wrongKind(key, "a decimal integer");
  return value;
}

LatencyHistogram histogramOf(const Json& latency) {
  const Json& h = member(latency, "histogram");
  LatencyHistogram::Parts parts;
  parts.subBucketBits = static_cast<int>(integerOf(h, "subBucketBits"));
  parts.highestTracked = integerOf(h, "highestTrackedNanos");
  parts.count = countOf(h, "count");
  parts.min = integerOf(h, "minNanos");
  parts.max = integerOf(h, "maxNanos");
  parts.sum = bigIntegerOf<absl::int128>(h, "sumNanos");
  parts.sumOfSquares = bigIntegerOf<absl::uint128>(h, "sumOfSquaresNanos2");
  for (const Json& bucket : arrayOf(h, "buckets")) {
    if (!bucket.is_array() || bucket.size() != 2 || !bucket[0].is_number_unsigned() ||
        !bucket[1].is_number_unsigned()) {
      wrongKind("buckets", "a list of [index, count] pairs");
    }
    parts.buckets.emplace_back(bucket[0].get<size_t>(), bucket[1].get<uint64_t>());
  }
  std::optional<LatencyHistogram> histogram = LatencyHistogram::FromParts(parts);
  if (!histogram) throw Malformed("the latency histogram is not one of this kelv's, or is inconsistent");
  return std::move(*histogram);
}

std::vector<double> fractionsOf(const Json& object, const char* key) {
  std::vector<double> fractions;
  for (const Json& sample : arrayOf(object, key)) {
    if (!sample.is_number()) wrongKind(key, "a list of numbers");
    fractions.push_back(sample.get<double>() / PERCENT);
  }
  return fractions;
}

std::vector<double> cpuSamplesOf(const Json& object, const char* key) {
  const Json& cpu = member(object, key);
  if (cpu.is_null()) return {};
  return fractionsOf(cpu, "samples");
}

void readMonitor(const Json& monitor, HostFigures& host) {
  const int64_t slot = integerOf(monitor, "slot");
  if (slot < 1 || slot > MONITOR_SLOTS) wrongKind("slot", "1 or 2");
  const auto m = monitorSlotFigures(host, static_cast<int>(slot));
  m.cpuSamples = cpuSamplesOf(monitor, "cpu");
  m.memory = numberOf(monitor, "memory") / PERCENT;
  const Json& hostCpu = member(monitor, "hostCpu");
  if (!hostCpu.is_null()) {
    m.remote.hostCpuSamples = fractionsOf(hostCpu, "samples");
    m.remote.busiestCpuSamples = fractionsOf(hostCpu, "busiestSamples");
  }
  const Json& process = member(monitor, "process");
  if (!process.is_null()) {
    m.remote.processCpuSamples = cpuSamplesOf(process, "cpu");
    m.remote.processMemoryMiB = numberOf(process, "memoryMiB");
  }
}

HostFigures hostOf(const Json& object) {
  const Json& h = member(object, "host");
  HostFigures host;
  host.clientCpuSamples = cpuSamplesOf(h, "clientCpu");
  host.clientMemory = numberOf(h, "clientMemory") / PERCENT;
  for (const Json& monitor : arrayOf(h, "monitors")) readMonitor(monitor, host);
  return host;
}

std::optional<double> fractionOrNull(const Json& tick, const char* key) {
  const std::optional<double> percent = numberOrNull(tick, key);
  if (!percent) return std::nullopt;
  return *percent / PERCENT;
}

TimelineEntry tickOf(const Json& tick) {
  TimelineEntry e;
  e.warmup = textOf(tick, "phase") == result_members::WARMUP_PHASE;
  e.seconds = numberOf(tick, "seconds");
  e.responses = integerOf(tick, "responses");
  e.successfulPerSecond = numberOf(tick, "successfulPerSecond");
  e.unsuccessfulPerSecond = numberOf(tick, "non2xxPerSecond");
  e.errorsPerSecond = numberOf(tick, "errorsPerSecond");
  e.latency50 = numberOrNull(tick, "latency50").value_or(0);
  e.latency90 = numberOrNull(tick, "latency90").value_or(0);
  e.latency99 = numberOrNull(tick, "latency99").value_or(0);
  e.latencyMax = numberOrNull(tick, "latencyMax").value_or(0);
  e.clientCpu = fractionOrNull(tick, "clientCpu");
  e.remoteCpu = fractionOrNull(tick, "remoteCpu");
  e.remoteHostCpu = fractionOrNull(tick, "remoteHostCpu");
  e.remoteProcessCpu = fractionOrNull(tick, "remoteProcessCpu");
  if (tick.contains("run")) e.run = static_cast<int>(integerOf(tick, "run"));
  return e;
}

RateFigures rateOf(const Json& object) {
  const Json& r = member(object, "rate");
  RateFigures rate;
  rate.target = numberOf(r, "target");
  rate.achieved = numberOf(r, "achieved");
  rate.due = integerOf(r, "due");
  rate.sent = integerOf(r, "sent");
  rate.lateSends = integerOf(r, "lateSends");
  rate.maxLagMillis = numberOf(r, "maxLagMillis");
  rate.unsentAtEnd = integerOf(r, "unsentAtEnd");
  rate.inFlightAtEnd = integerOf(r, "inFlightAtEnd");
  return rate;
}

// A run on a send schedule has all three members, any other none.
std::optional<ScheduleFigures> scheduleOf(const Json& result) {
  if (!result.contains("rate")) return std::nullopt;
  return ScheduleFigures{rateOf(result), histogramOf(member(result, "serviceTime")),
                         histogramOf(member(result, "sendLag"))};
}

MergedRun mergedRunOf(const Json& run) {
  MergedRun r;
  r.file = textOf(run, "file");
  r.settings = settingsOf(run);
  r.runStartWall = timeOf(run, "started");
  const Json& measured = member(run, "measured");
  r.measuredStartWall = timeOf(measured, "start");
  r.measuredEndWall = timeOf(measured, "end");
  r.measuredSeconds = numberOf(measured, "seconds");
  r.stopSignal = signalOf(run);
  return r;
}

Measurement measurementOf(const Json& result) {
  Measurement m;
  m.settings = settingsOf(result);
  m.counts = countsOf(result);
  m.latencies = histogramOf(member(result, "latency"));
  m.schedule = scheduleOf(result);
  m.rates = ratesOf(result);
  m.host = hostOf(result);
  for (const Json& tick : arrayOf(result, "timeline")) m.timeline.push_back(tickOf(tick));
  m.runStartWall = timeOf(result, "started");
  const Json& measured = member(result, "measured");
  m.measuredStartWall = timeOf(measured, "start");
  m.measuredEndWall = timeOf(measured, "end");
  m.stopSignal = signalOf(result);
  if (result.contains("merged")) {
    for (const Json& run : arrayOf(result, "merged")) m.merged.push_back(mergedRunOf(run));
  }
  return m;
}

// The library's message without its "[json.exception...] " prefix.
std::string plainMessage(const Json::exception& error) {
  const std::string what = error.what();
  const size_t end = what.find("] ");
  return end == std::string::npos ? what : what.substr(end + 2);
}

// Why the document is not a result of the format this program reads, or empty when it is.
std::string formatFault(const Json& document) {
  const bool named = document.is_object() && document.contains("format") &&
                     document["format"] == RESULT_FORMAT;
  if (!named) return absl::StrCat("not a kelv result (no \"format\": \"", RESULT_FORMAT, "\")");
  const auto version = document.find("formatVersion");
  if (version == document.end() || *version != RESULT_FORMAT_VERSION) {
    return absl::StrCat("a kelv result of format version ",
                        version == document.end() ? "(none)" : version->dump(),
                        ", but this kelv reads version ", RESULT_FORMAT_VERSION);
  }
  return std::string();
}

}  // namespace

ResultReading readResultJson(std::string_view text) {
  ResultReading reading;
  Json document;
  try {
    document = Json::parse(text);
  } catch (const Json::parse_error& error) {
    reading.error = absl::StrCat("not JSON: ", plainMessage(error));
    return reading;
  }
  reading.error = formatFault(document);
  if (!reading.error.empty()) return reading;
  try {
    reading.measurement = measurementOf(document);
  } catch (const Malformed& error) {
    reading.error = absl::StrCat("not a valid kelv result: ", error.what());
  } catch (const Json::exception& error) {
    reading.error = absl::StrCat("not a valid kelv result: ", plainMessage(error));
  }
  return reading;
}

}  // namespace kelv
