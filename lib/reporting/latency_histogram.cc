#include "lib/reporting/latency_histogram.h"

#include <cmath>

namespace kelv {
namespace {

constexpr double PERCENT_OF_ALL = 100.0;
static_assert(LatencyHistogram::BUCKET_COUNT * sizeof(uint64_t) <= size_t{1} << 20,
              "a histogram takes at most 1 MiB");

// log2 of the width of a bucket: 0 for the buckets of single values, then one more for
// every doubling of the values.
int shiftOf(size_t index) {
  const auto range = static_cast<int64_t>(index) / LatencyHistogram::SUB_BUCKETS;
  return static_cast<int>(std::max(int64_t{0}, range - 1));
}

}  // namespace

int64_t LatencyHistogram::BucketLowest(size_t index) {
  const int shift = shiftOf(index);
  return (static_cast<int64_t>(index) - shift * SUB_BUCKETS) << shift;
}

int64_t LatencyHistogram::BucketHighest(size_t index) {
  return BucketLowest(index) + (int64_t{1} << shiftOf(index)) - 1;
}

LatencyHistogram::LatencyHistogram() : counts(BUCKET_COUNT, 0) {}

void LatencyHistogram::Merge(const LatencyHistogram& other) {
  for (size_t i = 0; i < BUCKET_COUNT; ++i) counts[i] += other.counts[i];
  count += other.count;
  minimum = std::min(minimum, other.minimum);
  maximum = std::max(maximum, other.maximum);
  sum += other.sum;
  sumOfSquares += other.sumOfSquares;
}

void LatencyHistogram::Clear() {
  if (count > 0) {
    std::fill(counts.begin() + static_cast<ptrdiff_t>(BucketIndex(minimum)),
              counts.begin() + static_cast<ptrdiff_t>(BucketIndex(maximum)) + 1, 0);
  }
  count = 0;
  minimum = std::numeric_limits<int64_t>::max();
  maximum = std::numeric_limits<int64_t>::min();
  sum = 0;
  sumOfSquares = 0;
}

int64_t LatencyHistogram::TruncatedMean() const {
  if (count == 0) return 0;
  return static_cast<int64_t>(sum / absl::int128(count));
}

double LatencyHistogram::StandardDeviation() const {
  if (count == 0) return 0;
  // The sum of (x - mean)^2 is sumOfSquares - 2 mean sum + count mean^2; every term is taken
  // modulo 2^128, which gives the exact result because that result fits.
  const auto mean = static_cast<absl::uint128>(absl::int128(TruncatedMean()));
  const auto total = static_cast<absl::uint128>(sum);
  const absl::uint128 squares =
      sumOfSquares - absl::uint128(2) * mean * total + absl::uint128(count) * mean * mean;
  return std::sqrt(static_cast<double>(squares) / static_cast<double>(count));
}

uint64_t LatencyHistogram::RankOf(double percent) const {
  if (!(percent > 0)) return 0;  // NaN too
  if (percent >= PERCENT_OF_ALL) return count - 1;
  const auto rank = static_cast<uint64_t>(static_cast<double>(count) / PERCENT_OF_ALL * percent);
  return std::min(rank, count - 1);
}

// The middle of the part of the bucket that lies between the exact minimum and maximum.
int64_t LatencyHistogram::ValueInBucket(size_t index, uint64_t rank) const {
  if (rank == 0) return minimum;
  if (rank == count - 1) return maximum;
  const int64_t low = std::max(BucketLowest(index), minimum);
  const int64_t high = std::max(low, std::min(BucketHighest(index), maximum));
  return std::clamp(low + (high - low) / 2, minimum, maximum);
}

int64_t LatencyHistogram::ValueAtPercentile(double percent) const {
  return ValuesAtPercentiles(std::span<const double>(&percent, 1)).front();
}

std::vector<int64_t> LatencyHistogram::ValuesAtPercentiles(std::span<const double> percents) const {
  std::vector<int64_t> values(percents.size(), 0);
  if (count == 0) return values;
  size_t index = 0;
  uint64_t through = counts[0];  // samples in the buckets up to `index`
  for (size_t i = 0; i < percents.size(); ++i) {
    const uint64_t rank = RankOf(percents[i]);
    if (rank < through - counts[index]) {  // below the current bucket: start over
      index = 0;
      through = counts[0];
    }
    while (through <= rank) through += counts[++index];
    values[i] = ValueInBucket(index, rank);
  }
  return values;
}

LatencyHistogram::Parts LatencyHistogram::ToParts() const {
  Parts parts;
  parts.count = count;
  parts.min = Min();
  parts.max = Max();
  parts.sum = sum;
  parts.sumOfSquares = sumOfSquares;
  for (size_t i = 0; i < BUCKET_COUNT; ++i) {
    if (counts[i] != 0) parts.buckets.emplace_back(i, counts[i]);
  }
  return parts;
}

namespace {

// The extremes and the mean must lie where the buckets say the samples are.
bool extremesAgree(const LatencyHistogram::Parts& parts, size_t first, size_t last) {
  if (parts.count == 0) {
    return parts.min == 0 && parts.max == 0 && parts.sum == 0 && parts.sumOfSquares == 0;
  }
  const absl::int128 n(parts.count);
  return parts.min <= parts.max && LatencyHistogram::BucketIndex(parts.min) == first &&
         LatencyHistogram::BucketIndex(parts.max) == last &&
         absl::int128(parts.min) * n <= parts.sum && parts.sum <= absl::int128(parts.max) * n;
}

}  // namespace

std::optional<LatencyHistogram> LatencyHistogram::FromParts(const Parts& parts) {
  if (parts.subBucketBits != SUB_BUCKET_BITS || parts.highestTracked != HIGHEST_TRACKED) {
    return std::nullopt;
  }
  LatencyHistogram h;
  size_t first = BUCKET_COUNT;
  size_t last = 0;
  for (const auto& [index, n] : parts.buckets) {
    if (index >= BUCKET_COUNT || n == 0 || h.counts[index] != 0) return std::nullopt;
    if (n > std::numeric_limits<uint64_t>::max() - h.count) return std::nullopt;
    h.counts[index] = n;
    h.count += n;
    first = std::min(first, index);
    last = std::max(last, index);
  }
  if (h.count != parts.count || !extremesAgree(parts, first, last)) return std::nullopt;
  if (h.count > 0) {
    h.minimum = parts.min;
    h.maximum = parts.max;
  }
  h.sum = parts.sum;
  h.sumOfSquares = parts.sumOfSquares;
  return h;
}

}  // namespace kelv
