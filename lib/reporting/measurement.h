#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lib/reporting/latency_histogram.h"
#include "lib/reporting/statistics.h"

namespace kelv {

// The settings that shaped a run, as its results describe them.
struct RunSettings {
  std::string url;      // empty when the targets came from a file
  std::string urlFile;  // empty when the target was one URL
  std::string method;
  int32_t connections = 0;
  int32_t threads = 0;
  int32_t durationSeconds = 0;
  int32_t warmupSeconds = 0;
  bool keepAlive = true;
  int32_t thinkTimeMillis = 0;
  double timeoutSeconds = 0;  // 0: none
  double rate = 0;            // requests per second; 0: as fast as the connections go
  std::string name;
  bool oneRequest = false;
  std::string monitor1;  // -M, empty when not given
  std::string monitor2;  // -X
  std::string monitorProcess;

  bool operator==(const RunSettings&) const = default;
};

// One progress tick: the figures of the interval since the previous tick (or the start of its
// period). Latencies in milliseconds, CPU figures fractions from 0 to 1; a CPU figure is absent
// when the tick added no sample of it.
struct TimelineEntry {
  bool warmup = false;
  double seconds = 0;     // from the start of the run (its first period, the warm-up's if any)
  int64_t responses = 0;  // complete responses handed over in the interval
  double successfulPerSecond = 0;
  double unsuccessfulPerSecond = 0;  // complete responses outside 200 to 299
  double errorsPerSecond = 0;        // socket errors
  double latency50 = 0;
  double latency90 = 0;
  double latency99 = 0;
  double latencyMax = 0;
  std::optional<double> clientCpu;
  std::optional<double> remoteCpu;         // the first monitor's process
  std::optional<double> remoteHostCpu;     // the first monitor's host
  std::optional<double> remoteProcessCpu;  // the process the first monitor was asked about
  int run = -1;                            // in merged results: the index of the input it came from

  bool operator==(const TimelineEntry&) const = default;
};

// One of the runs that a merged measurement is made of, as its result file described it.
struct MergedRun {
  std::string file;  // as named on the command line
  RunSettings settings;
  int64_t runStartWall = 0;
  int64_t measuredStartWall = 0;
  int64_t measuredEndWall = 0;
  double measuredSeconds = 0;
  int stopSignal = 0;

  bool operator==(const MergedRun&) const = default;
};

// What a run on a send schedule found of its schedule. The accounting is exact: successful +
// unsuccessful + socket errors + unsentAtEnd + inFlightAtEnd = due, every count of requests
// due in the measured period.
struct RateFigures {
  double target = 0;    // requests per second
  double achieved = 0;  // requests sent per second of the measured period
  int64_t due = 0;      // requests due in the measured period
  int64_t sent = 0;
  int64_t lateSends = 0;  // sent more than a millisecond after their due time
  double maxLagMillis = 0;
  int64_t unsentAtEnd = 0;    // due, but not sent by the end
  int64_t inFlightAtEnd = 0;  // sent, without an outcome by the end

  bool operator==(const RateFigures&) const = default;
};

// The figures only a run on a send schedule has.
struct ScheduleFigures {
  RateFigures rate;
  LatencyHistogram serviceTimes;  // from the actual send
  LatencyHistogram sendLags;      // from the due time to the actual send

  bool operator==(const ScheduleFigures&) const = default;
};

// Everything a run found, in one value: what the report, the CSV line and the JSON result are
// made of, whether it comes from the threads of this run or from the files of earlier ones.
struct Measurement {
  RunSettings settings;
  // The counts of the measured period, from `attempted` to `elapsedSeconds` (the length of
  // the period) and the breakdowns; the latency figures and rates are left 0 here.
  Results counts;
  LatencyHistogram latencies;               // on a send schedule: from each request's due time
  std::optional<ScheduleFigures> schedule;  // present on a send schedule only
  Rates rates;
  HostFigures host;
  std::vector<TimelineEntry> timeline;
  // Wall-clock nanoseconds since the epoch: the start of the run's first period, and the
  // start and end of the measured period.
  int64_t runStartWall = 0;
  int64_t measuredStartWall = 0;
  int64_t measuredEndWall = 0;
  int stopSignal = 0;  // the signal that ended the run early, 0 when none did
  std::vector<MergedRun> merged;  // empty unless the measurement is a merge of runs

  bool operator==(const Measurement&) const = default;
};

// The rate figures of a measured period from its schedule counts, with `target`, `due`
// and the counts' outcomes given.
RateFigures rateFiguresOf(double target, int64_t due, const ScheduleCounters& sent,
                          const Results& counts);

// The report's figures: the statistics of the latencies over the counts, with the rates the
// measurement holds.
Results figuresOf(const Measurement& measurement);

}  // namespace kelv
