#include "lib/reporting/latency_histogram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace kelv {
namespace {

using Samples = std::vector<int64_t>;

constexpr int64_t US = 1000;  // nanoseconds
constexpr int64_t SECOND = 1000000000;
// Whole and fractional percents, in no particular order.
const std::vector<double> PERCENTS = [] {
  std::vector<double> all{99.99, 99.9, 0.1, 33.3, 99.999, 50.5};
  for (int p = 100; p >= 0; --p) all.push_back(p);
  return all;
}();

LatencyHistogram histogramOf(const Samples& samples) {
  LatencyHistogram h;
  for (int64_t sample : samples) h.Record(sample);
  return h;
}

// The percentile of the samples as the report defines it: sorted[(size_t)(n / 100.0 * p)],
// the largest at 100.
int64_t exactPercentile(const Samples& sorted, double percent) {
  const auto k = static_cast<size_t>(static_cast<double>(sorted.size()) / 100.0 * percent);
  return sorted[std::min(k, sorted.size() - 1)];
}

// Every percentile within 0.05 % or 1 us of the exact one, whichever is larger; the exact
// figures equal what a full list of the samples gives.
void expectLikeTheSamples(const std::string& name, Samples samples) {
  SCOPED_TRACE(name);
  const LatencyHistogram h = histogramOf(samples);
  std::sort(samples.begin(), samples.end());
  const std::vector<int64_t> values = h.ValuesAtPercentiles(PERCENTS);
  for (size_t i = 0; i < PERCENTS.size(); ++i) {
    const int64_t exact = exactPercentile(samples, PERCENTS[i]);
    const double bound = std::max(0.0005 * static_cast<double>(exact), 1.0 * US);
    EXPECT_LE(std::abs(static_cast<double>(values[i] - exact)), bound) << PERCENTS[i] << " %";
    EXPECT_EQ(h.ValueAtPercentile(PERCENTS[i]), values[i]);
  }
  const auto n = static_cast<int64_t>(samples.size());
  int64_t sum = 0;
  for (int64_t s : samples) sum += s;
  // The reference: the mean truncated to whole nanoseconds, the spread in milliseconds.
  const double meanMillis = static_cast<double>(sum / n) / 1e6;
  double squares = 0;
  for (int64_t s : samples) squares += std::pow(static_cast<double>(s) / 1e6 - meanMillis, 2);
  EXPECT_EQ(h.Count(), samples.size());
  EXPECT_EQ(h.Min(), samples.front());
  EXPECT_EQ(h.Max(), samples.back());
  EXPECT_EQ(h.TruncatedMean(), sum / n);
  const double spread = std::sqrt(squares / static_cast<double>(n));
  EXPECT_NEAR(h.StandardDeviation() / 1e6, spread, 1e-9 * spread + 1e-12);
}

Samples logUniform(std::mt19937_64& random, size_t n, double low, double high) {
  std::uniform_real_distribution<double> exponent(std::log(low), std::log(high));
  Samples samples(n);
  for (auto& s : samples) s = static_cast<int64_t>(std::exp(exponent(random)));
  return samples;
}

TEST(LatencyHistogram, PercentilesStayWithinTheBoundOfTheExactSamples) {
  std::mt19937_64 random(14);
  expectLikeTheSamples("random over the whole range", logUniform(random, 200000, US, 100 * SECOND));
  std::normal_distribution<double> typical(150 * US, 20 * US);
  Samples dense(100000);
  for (auto& s : dense) s = static_cast<int64_t>(std::max(1.0 * US, typical(random)));
  expectLikeTheSamples("dense around 150 us", dense);
  expectLikeTheSamples("all equal", Samples(1000, 2500 * US));
  expectLikeTheSamples("a single sample", {123456789});
  Samples clusters = logUniform(random, 999, 50 * US, 60 * US);
  Samples far = logUniform(random, 11, 5 * SECOND, 6 * SECOND);
  clusters.insert(clusters.end(), far.begin(), far.end());
  expectLikeTheSamples("two far clusters", clusters);
  Samples edges;
  for (size_t index = 0; index < LatencyHistogram::BUCKET_COUNT; index += 997) {
    edges.push_back(LatencyHistogram::BucketLowest(index));
    edges.push_back(LatencyHistogram::BucketHighest(index));
  }
  expectLikeTheSamples("bucket edges", edges);
  Samples small;
  for (int64_t ns = 0; ns < US; ns += 7) small.push_back(ns);
  expectLikeTheSamples("below 1 us", small);
}

TEST(LatencyHistogram, ValuesOutsideTheRangeCountAtItsEnds) {
  // A clock that stepped back, and latencies beyond the tracked range: the exact figures see
  // them as they are, the percentiles at the nearest end of the range.
  LatencyHistogram h = histogramOf({-5, 0, 150 * SECOND, 200 * SECOND, 300 * SECOND});
  EXPECT_EQ(h.Min(), -5);
  EXPECT_EQ(h.Max(), 300 * SECOND);
  EXPECT_EQ(h.TruncatedMean(), (650 * SECOND - 5) / 5);
  EXPECT_EQ(h.ValueAtPercentile(20), 0);
  const int64_t top = h.ValueAtPercentile(60);
  EXPECT_GE(top, LatencyHistogram::BucketLowest(LatencyHistogram::BUCKET_COUNT - 1));
  EXPECT_LE(top, LatencyHistogram::BucketHighest(LatencyHistogram::BUCKET_COUNT - 1));
  EXPECT_EQ(h.ValueAtPercentile(100), 300 * SECOND);
  const LatencyHistogram none;  // an interval without responses
  EXPECT_EQ(none.ValueAtPercentile(50) + none.Min() + none.Max() + none.TruncatedMean(), 0);
}

// The buckets tile the range without gap or overlap, none wider than the bound allows.
TEST(LatencyHistogram, BucketsTileTheRange) {
  const size_t last = LatencyHistogram::BUCKET_COUNT - 1;
  for (size_t i = 0; i <= last; ++i) {
    const int64_t low = LatencyHistogram::BucketLowest(i);
    const int64_t high = LatencyHistogram::BucketHighest(i);
    ASSERT_EQ(LatencyHistogram::BucketIndex(low), i);
    ASSERT_EQ(LatencyHistogram::BucketIndex(high), i);
    ASSERT_LE(high - low + 1, std::max(int64_t{1}, low / LatencyHistogram::SUB_BUCKETS)) << i;
    ASSERT_TRUE(i == last || LatencyHistogram::BucketLowest(i + 1) == high + 1) << i;
  }
  EXPECT_GE(LatencyHistogram::BucketHighest(last), LatencyHistogram::HIGHEST_TRACKED);
}

TEST(LatencyHistogram, MergeEqualsTheHistogramOfTheUnionPartsRoundTripClearEmpties) {
  std::mt19937_64 random(7);
  const Samples a = logUniform(random, 5000, US, SECOND);
  Samples b = logUniform(random, 3000, 10 * US, 10 * SECOND);
  b.push_back(-1);
  Samples both = a;
  both.insert(both.end(), b.begin(), b.end());
  LatencyHistogram merged = histogramOf(a);
  merged.Merge(histogramOf(b));
  EXPECT_EQ(merged, histogramOf(both));
  merged.Merge(LatencyHistogram());
  EXPECT_EQ(merged, histogramOf(both));
  EXPECT_NE(merged, histogramOf(a));

  const LatencyHistogram::Parts parts = merged.ToParts();
  EXPECT_EQ(parts.count, both.size());
  EXPECT_EQ(LatencyHistogram::FromParts(parts), merged);
  EXPECT_EQ(LatencyHistogram::FromParts(LatencyHistogram().ToParts()), LatencyHistogram());
  merged.Clear();
  EXPECT_EQ(merged, LatencyHistogram());
}

TEST(LatencyHistogram, PartsThatDoNotAgreeAreRefused) {
  const LatencyHistogram::Parts good = histogramOf({10 * US, 20 * US, 3 * SECOND}).ToParts();
  ASSERT_EQ(good.buckets.size(), 3u);
  ASSERT_TRUE(LatencyHistogram::FromParts(good).has_value());
  std::vector<LatencyHistogram::Parts> bad(8, good);
  bad[0].subBucketBits = 10;
  bad[1].highestTracked = 60 * SECOND;
  bad[2].buckets[2].first = LatencyHistogram::BUCKET_COUNT;
  bad[3].buckets[1] = bad[3].buckets[0];  // the same bucket twice
  bad[4].count = 4;
  bad[5].min = 11 * US;  // not in the first non-empty bucket
  bad[6].max = 2 * SECOND;
  bad[7].sum = 0;  // a mean below the minimum
  for (size_t i = 0; i < bad.size(); ++i) {
    EXPECT_FALSE(LatencyHistogram::FromParts(bad[i]).has_value()) << i;
  }
}

}  // namespace
}  // namespace kelv
