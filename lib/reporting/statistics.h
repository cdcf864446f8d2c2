#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "lib/reporting/latency_histogram.h"
#include "lib/reporting/request_counters.h"

namespace kelv {

// The final figures of a recording period; its counts, up to `elapsedSeconds`, are also what
// computeStatistics starts from.
struct Results {
  int64_t attempted = 0;
  int64_t successful = 0;
  int64_t unsuccessful = 0;
  int64_t socketErrors = 0;  // the sum of `errors`
  int64_t connectionsOpened = 0;
  int64_t bytesWritten = 0;
  int64_t bytesRead = 0;
  double elapsedSeconds = 0;
  double averageLatency = 0;                             // milliseconds
  double latencyStdDev = 0;                              // milliseconds
  std::array<double, 101> latencyPercent{};              // [0] minimum, [100] maximum, milliseconds
  std::array<double, 2> latencyTail{};                   // 99.9 % and 99.99 %, milliseconds
  double throughput = 0;                                 // requests per second
  double sendBandwidth = 0;                              // megabits (2^20 bits) per second
  double receiveBandwidth = 0;                           // megabits (2^20 bits) per second
  std::array<int64_t, ERROR_KIND_COUNT> errors{};        // socket errors by ErrorKind
  std::array<int64_t, STATUS_CODE_LIMIT> statusCodes{};  // complete responses by status

  bool operator==(const Results&) const = default;
};

// The percents of Results::latencyTail.
constexpr std::array<double, 2> LATENCY_TAIL_PERCENTS = {99.9, 99.99};

// Requests and megabits (2^20 bits) per second.
struct Rates {
  double throughput = 0;
  double sendBandwidth = 0;
  double receiveBandwidth = 0;

  bool operator==(const Rates&) const = default;
};

// The rates of a period from its counts and `elapsedSeconds`: attempted requests, bytes
// written and bytes read per second.
Rates ratesOf(const Results& counts);

// Adds the counts of one handed-over record (all but its latencies) to the totals; the
// record's errors count in `socketErrors` as well as under their kinds.
void addCounts(Results& totals, const RequestCounters& record);

// The figures of a period from its latency samples and its counts: the fields from
// `successful` to `elapsedSeconds` of `counts` and its breakdowns `errors` and `statusCodes`
// are kept, `attempted` becomes successful + unsuccessful, and the latency figures and rates
// are computed. The mean is truncated to whole nanoseconds; the standard deviation is that of
// the population; percentile p is the sample sorted[(size_t)(n / 100.0 * p)] within the
// histogram's bound, [0] the exact minimum and [100] the exact maximum.
Results computeStatistics(const LatencyHistogram& latencies, Results counts);

// What a monitor told of its whole host and of the chosen processes, beyond the figures of
// its own process: fractions from 0 to 1, the processes' of one processor (so above 1 when
// they keep several busy).
struct RemoteHostFigures {
  std::vector<double> hostCpuSamples;     // all processors
  std::vector<double> busiestCpuSamples;  // the busiest single processor
  std::vector<double> processCpuSamples;  // the chosen processes, at the ticks they were found
  double processMemoryMiB = 0;            // their resident memory when last found

  bool operator==(const RemoteHostFigures&) const = default;
};

// The CPU series and memory figures of a period, all fractions from 0 to 1.
struct HostFigures {
  std::vector<double> clientCpuSamples;
  std::vector<double> remoteCpuSamples1;
  std::vector<double> remoteCpuSamples2;
  double clientMemory = 0;
  double remoteMemory1 = 0;
  double remoteMemory2 = 0;
  RemoteHostFigures remoteHost1;
  RemoteHostFigures remoteHost2;

  bool operator==(const HostFigures&) const = default;
};

// The figures of one monitor slot of a HostFigures (1: -M, 2: -X), by reference, const when
// the host figures are.
constexpr int MONITOR_SLOTS = 2;
template <class Host>
auto monitorSlotFigures(Host& host, int slot) {
  struct Slot {
    decltype((host.remoteCpuSamples1)) cpuSamples;
    decltype((host.remoteMemory1)) memory;
    decltype((host.remoteHost1)) remote;
  };
  return slot == 1 ? Slot{host.remoteCpuSamples1, host.remoteMemory1, host.remoteHost1}
                   : Slot{host.remoteCpuSamples2, host.remoteMemory2, host.remoteHost2};
}

// A CPU series as the report shows it, in percent; an empty series is not present and has 0
// for both figures.
struct CpuSeriesFigures {
  bool present = false;
  double averagePercent = 0;
  double maxPercent = 0;
};

CpuSeriesFigures cpuSeriesFigures(const std::vector<double>& samples);

}  // namespace kelv
