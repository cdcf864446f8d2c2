#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "absl/numeric/int128.h"

namespace kelv {

// Latency samples in nanoseconds, counted in a fixed set of log-linear buckets, so that its
// size never depends on how many samples it holds. Count, minimum, maximum, sum and sum of
// squares are kept exactly; percentiles come from the buckets.
//
// Layout: every value below 2 * SUB_BUCKETS has a bucket of its own; above, each range from
// 2^m to 2^(m+1) is split into SUB_BUCKETS equal buckets, so a bucket is never wider than
// 1 / SUB_BUCKETS of its lowest value. A percentile reports the middle of its bucket (narrowed
// to the exact minimum and maximum), within 1 / (2 * SUB_BUCKETS) of the true sample.
// Out of range: a negative value counts in the first bucket, a value above HIGHEST_TRACKED in
// the last; the exact figures still see the value itself.
//
// A plain value: copied, compared and merged freely (a moved-from one may only be assigned
// to or destroyed). Recording is one increment and a few
// arithmetic operations, without allocation.
class LatencyHistogram {
 public:
  static constexpr int SUB_BUCKET_BITS = 11;
  static constexpr int64_t SUB_BUCKETS = int64_t{1} << SUB_BUCKET_BITS;
  static constexpr int64_t HIGHEST_TRACKED = 100'000'000'000;  // 100 seconds

  // The bucket of a value; values out of range go to the nearest end.
  static constexpr size_t BucketIndex(int64_t nanos);
  static const size_t BUCKET_COUNT;  // 54,181 counts, 423 KiB
  // The smallest and largest value that fall into a bucket.
  static int64_t BucketLowest(size_t index);
  static int64_t BucketHighest(size_t index);

  LatencyHistogram();

  void Record(int64_t nanos) {
    ++counts[BucketIndex(nanos)];
    ++count;
    minimum = std::min(minimum, nanos);
    maximum = std::max(maximum, nanos);
    sum += nanos;
    const auto magnitude = static_cast<absl::uint128>(absl::int128(nanos));
    sumOfSquares += magnitude * magnitude;  // the square mod 2^128 of a negative value too
  }

  // Adds every sample of `other`, as if each had been recorded here.
  void Merge(const LatencyHistogram& other);
  // Empties it, keeping its memory: only the buckets from the minimum's to the maximum's are
  // touched, so a histogram of a few close values is cleared in a moment.
  void Clear();

  uint64_t Count() const { return count; }
  // 0 while empty.
  int64_t Min() const { return count == 0 ? 0 : minimum; }
  int64_t Max() const { return count == 0 ? 0 : maximum; }
  absl::int128 Sum() const { return sum; }
  absl::uint128 SumOfSquares() const { return sumOfSquares; }
  // The mean truncated toward zero to whole nanoseconds, and the population standard
  // deviation around that mean, in nanoseconds; 0 while empty.
  int64_t TruncatedMean() const;
  double StandardDeviation() const;

  // The sample of rank (size_t)(count / 100.0 * percent) in ascending order, the minimum at
  // 0 and the maximum at 100 and above; the reported value is the middle of the bucket that
  // holds that sample. 0 while empty.
  int64_t ValueAtPercentile(double percent) const;
  // The same for several percents in one pass over the buckets (fastest in ascending order).
  std::vector<int64_t> ValuesAtPercentiles(std::span<const double> percents) const;

  // Everything that makes up the histogram, for writing it out and reading it back.
  struct Parts {
    int subBucketBits = SUB_BUCKET_BITS;
    int64_t highestTracked = HIGHEST_TRACKED;
    uint64_t count = 0;
    int64_t min = 0;
    int64_t max = 0;
    absl::int128 sum = 0;
    absl::uint128 sumOfSquares = 0;
    std::vector<std::pair<size_t, uint64_t>> buckets;  // (index, count), only non-empty ones

    bool operator==(const Parts&) const = default;
  };
  Parts ToParts() const;
  // None when the parts are of another layout or do not agree with each other (a bucket out
  // of range or twice, bucket counts that do not add up, a minimum or maximum outside the
  // outermost non-empty buckets).
  static std::optional<LatencyHistogram> FromParts(const Parts& parts);

  bool operator==(const LatencyHistogram&) const = default;

 private:
  uint64_t RankOf(double percent) const;
  int64_t ValueInBucket(size_t index, uint64_t rank) const;

  std::vector<uint64_t> counts;
  uint64_t count = 0;
  int64_t minimum = std::numeric_limits<int64_t>::max();
  int64_t maximum = std::numeric_limits<int64_t>::min();
  absl::int128 sum = 0;
  absl::uint128 sumOfSquares = 0;  // modulo 2^128, exact for any real run
};

constexpr size_t LatencyHistogram::BucketIndex(int64_t nanos) {
  const auto value = static_cast<uint64_t>(std::clamp(nanos, int64_t{0}, HIGHEST_TRACKED));
  const int log2 = std::numeric_limits<uint64_t>::digits - 1 - std::countl_zero(value | 1);
  const int shift = std::max(0, log2 - SUB_BUCKET_BITS);
  return static_cast<size_t>(shift) * SUB_BUCKETS + (value >> shift);
}

inline constexpr size_t LatencyHistogram::BUCKET_COUNT = BucketIndex(HIGHEST_TRACKED) + 1;

}  // namespace kelv
