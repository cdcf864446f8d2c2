#include "lib/reporting/statistics.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "lib/util/clock.h"

namespace kelv {
namespace {

constexpr double BITS_PER_BYTE = 8.0;
constexpr double BITS_PER_MEGABIT = 1048576.0;
constexpr int PERCENTILES = 100;
constexpr double NANOS_PER_MILLI = 1e6;

void fillLatencies(const LatencyHistogram& latencies, Results& r) {
  r.averageLatency = millisFromNanos(latencies.TruncatedMean());
  r.latencyStdDev = latencies.StandardDeviation() / NANOS_PER_MILLI;
  std::array<double, PERCENTILES + 1> percents;
  for (int p = 0; p <= PERCENTILES; ++p) percents[p] = p;
  const std::vector<int64_t> values = latencies.ValuesAtPercentiles(percents);
  for (int p = 0; p <= PERCENTILES; ++p) r.latencyPercent[p] = millisFromNanos(values[p]);
  const std::vector<int64_t> tail = latencies.ValuesAtPercentiles(LATENCY_TAIL_PERCENTS);
  for (size_t i = 0; i < tail.size(); ++i) r.latencyTail[i] = millisFromNanos(tail[i]);
}

double megabitsPerSecond(int64_t bytes, double seconds) {
  return static_cast<double>(bytes) * BITS_PER_BYTE / BITS_PER_MEGABIT / seconds;
}

}  // namespace

Rates ratesOf(const Results& counts) {
  return Rates{static_cast<double>(counts.attempted) / counts.elapsedSeconds,
               megabitsPerSecond(counts.bytesWritten, counts.elapsedSeconds),
               megabitsPerSecond(counts.bytesRead, counts.elapsedSeconds)};
}

void addCounts(Results& totals, const RequestCounters& record) {
  totals.successful += record.successful;
  totals.unsuccessful += record.unsuccessful;
  totals.bytesRead += static_cast<int64_t>(record.bytesRead);
  totals.bytesWritten += static_cast<int64_t>(record.bytesWritten);
  totals.connectionsOpened += record.connectionsOpened;
  totals.socketErrors += errorTotal(record);
  for (size_t kind = 0; kind < ERROR_KIND_COUNT; ++kind) {
    totals.errors[kind] += record.errors[kind];
  }
  for (size_t code = 0; code < STATUS_CODE_LIMIT; ++code) {
    totals.statusCodes[code] += record.statusCodes[code];
  }
}

Results computeStatistics(const LatencyHistogram& latencies, Results counts) {
  Results r = counts;
  r.attempted = r.successful + r.unsuccessful;
  if (latencies.Count() > 0) fillLatencies(latencies, r);
  const Rates rates = ratesOf(r);
  r.throughput = rates.throughput;
  r.sendBandwidth = rates.sendBandwidth;
  r.receiveBandwidth = rates.receiveBandwidth;
  return r;
}

CpuSeriesFigures cpuSeriesFigures(const std::vector<double>& samples) {
  CpuSeriesFigures figures;
  if (samples.empty()) return figures;
  const double sum = std::accumulate(samples.begin(), samples.end(), 0.0);
  figures.present = true;
  figures.averagePercent = sum / static_cast<double>(samples.size()) * 100.0;
  figures.maxPercent = *std::max_element(samples.begin(), samples.end()) * 100.0;
  return figures;
}

}  // namespace kelv
