#include "lib/reporting/statistics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace kelv {
namespace {

constexpr int64_t MS = 1000000;  // nanoseconds

Results statisticsOf(const std::vector<int64_t>& samples) {
  LatencyHistogram latencies;
  for (int64_t sample : samples) latencies.Record(sample);
  Results counts;
  counts.elapsedSeconds = 1.0;
  return computeStatistics(latencies, counts);
}

// A percentile may miss its sample by 0.05 % or 1 us, whichever is larger.
double boundOf(double millis) { return std::max(0.0005 * millis, 0.001); }

TEST(Statistics, NoSampleOrOneSampleHasNoSpread) {
  const Results none = statisticsOf({});
  EXPECT_EQ(none.averageLatency, 0.0);
  EXPECT_EQ(none.throughput, 0.0);
  for (double percentile : none.latencyPercent) EXPECT_EQ(percentile, 0.0);
  const Results one = statisticsOf({2500000});
  EXPECT_DOUBLE_EQ(one.averageLatency, 2.5);
  EXPECT_EQ(one.latencyStdDev, 0.0);
  for (double percentile : one.latencyPercent) EXPECT_DOUBLE_EQ(percentile, 2.5);
}

TEST(Statistics, PopulationSpreadAndIndexedPercentiles) {
  const Results r = statisticsOf({1 * MS, 2 * MS, 3 * MS, 4 * MS});
  EXPECT_DOUBLE_EQ(r.averageLatency, 2.5);
  EXPECT_DOUBLE_EQ(r.latencyStdDev, std::sqrt(1.25));
  EXPECT_DOUBLE_EQ(r.latencyPercent[0], 1.0);
  EXPECT_DOUBLE_EQ(r.latencyPercent[24], 1.0);  // k = 0.96, truncated
  EXPECT_NEAR(r.latencyPercent[25], 2.0, boundOf(2.0));
  EXPECT_NEAR(r.latencyPercent[50], 3.0, boundOf(3.0));
  EXPECT_DOUBLE_EQ(r.latencyPercent[99], 4.0);

  std::vector<int64_t> sorted;
  for (int64_t i = 0; i < 1000; ++i) sorted.push_back(1000 + i * 1000);
  const Results many = statisticsOf(sorted);
  EXPECT_NEAR(many.latencyPercent[50], sorted[500] / 1e6, boundOf(sorted[500] / 1e6));
  EXPECT_NEAR(many.latencyPercent[99], sorted[990] / 1e6, boundOf(sorted[990] / 1e6));
  EXPECT_DOUBLE_EQ(many.latencyPercent[100], sorted[999] / 1e6);
}

TEST(Statistics, MeanIsTruncatedToWholeNanosBeforeTheSpread) {
  const Results r = statisticsOf({1, 2});  // 3 ns / 2 = 1 ns
  EXPECT_DOUBLE_EQ(r.averageLatency, 1e-6);
  EXPECT_DOUBLE_EQ(r.latencyStdDev, std::sqrt(1e-12 / 2));
}

TEST(Statistics, CountsAndRatesFollowTheTotals) {
  Results counts;
  counts.elapsedSeconds = 2.0;
  counts.successful = INT32_MAX;
  counts.unsuccessful = 3;
  counts.attempted = -1;  // not taken from the counts
  counts.socketErrors = 4;
  counts.connectionsOpened = 5;
  counts.bytesWritten = 262144;  // 2 megabits in 2 seconds
  counts.bytesRead = 3145728;
  const Results r = computeStatistics(LatencyHistogram(), counts);
  EXPECT_EQ(r.attempted, int64_t{INT32_MAX} + 3);  // no wrap-around
  EXPECT_EQ(r.successful, INT32_MAX);
  EXPECT_EQ(r.unsuccessful, 3);
  EXPECT_EQ(r.socketErrors, 4);
  EXPECT_EQ(r.connectionsOpened, 5);
  EXPECT_EQ(r.bytesRead, 3145728);
  EXPECT_DOUBLE_EQ(r.elapsedSeconds, 2.0);
  EXPECT_DOUBLE_EQ(r.throughput, (INT32_MAX + 3.0) / 2);
  EXPECT_DOUBLE_EQ(r.sendBandwidth, 1.0);
  EXPECT_DOUBLE_EQ(r.receiveBandwidth, 12.0);
}

}  // namespace
}  // namespace kelv
