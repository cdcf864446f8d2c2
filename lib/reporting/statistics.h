#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "lib/reporting/latency_histogram.h"

namespace kelv {

// The final figures of a recording period; its counts, up to `elapsedSeconds`, are also what
// computeStatistics starts from.
struct Results {
  int64_t attempted = 0;
  int64_t successful = 0;
  int64_t unsuccessful = 0;
  int32_t socketErrors = 0;
  int32_t connectionsOpened = 0;
  int64_t bytesWritten = 0;
  int64_t bytesRead = 0;
  double elapsedSeconds = 0;
  double averageLatency = 0;                 // milliseconds
  double latencyStdDev = 0;                  // milliseconds
  std::array<double, 101> latencyPercent{};  // [0] minimum, [100] maximum, milliseconds
  double throughput = 0;                     // requests per second
  double sendBandwidth = 0;                  // megabits (2^20 bits) per second
  double receiveBandwidth = 0;               // megabits (2^20 bits) per second
};

// The figures of a period from its latency samples and its counts: the fields from
// `successful` to `elapsedSeconds` of `counts` are kept, `attempted` becomes successful +
// unsuccessful, and the latency figures and rates are computed. The mean is truncated to
// whole nanoseconds; the standard deviation is that of the population; percentile p is the
// sample sorted[(size_t)(n / 100.0 * p)] within the histogram's bound, [0] the exact minimum
// and [100] the exact maximum.
Results computeStatistics(const LatencyHistogram& latencies, Results counts);

// The CPU series and memory figures of a period, all fractions from 0 to 1.
struct HostFigures {
  std::vector<double> clientCpuSamples;
  std::vector<double> remoteCpuSamples1;
  std::vector<double> remoteCpuSamples2;
  double clientMemory = 0;
  double remoteMemory1 = 0;
  double remoteMemory2 = 0;
};

// A CPU series as the report shows it, in percent; an empty series is not present and has 0
// for both figures.
struct CpuSeriesFigures {
  bool present = false;
  double averagePercent = 0;
  double maxPercent = 0;
};

CpuSeriesFigures cpuSeriesFigures(const std::vector<double>& samples);

}  // namespace kelv
