'use strict';
// Percentiles from a result's latency histogram, by the rule the report's figures follow: the
// sample of rank floor(count / 100 * percent) in ascending order (the minimum at 0, the
// maximum at 100), reported as the middle of its bucket narrowed to the exact extremes.

const NANOS_PER_MILLI = 1e6;
const SPECTRUM_STEPS_PER_NINE = 100;

// The layout: values below 2 * 2^subBucketBits have a bucket each; above, every range from
// 2^m to 2^(m+1) is split into 2^subBucketBits equal buckets.
function bucketBounds(index, subBucketBits) {
  const subBuckets = 2 ** subBucketBits;
  const shift = Math.max(0, Math.floor(index / subBuckets) - 1);
  const lowest = (index - shift * subBuckets) * 2 ** shift;
  return [lowest, lowest + 2 ** shift - 1];
}

function rankOf(count, percent) {
  if (!(percent > 0)) return 0;
  if (percent >= 100) return count - 1;
  return Math.min(Math.floor(count / 100 * percent), count - 1);
}

// Values in milliseconds at ascending percents; an empty list for an empty histogram.
function valuesAtPercents(histogram, percents) {
  const count = histogram.count;
  if (!count) return [];
  const {minNanos: min, maxNanos: max, buckets, subBucketBits} = histogram;
  const values = [];
  let b = 0;
  let through = buckets.length > 0 ? buckets[0][1] : 0;
  for (const percent of percents) {
    const rank = rankOf(count, percent);
    while (through <= rank && b + 1 < buckets.length) through += buckets[++b][1];
    let nanos;
    if (rank === 0) {
      nanos = min;
    } else if (rank === count - 1) {
      nanos = max;
    } else {
      const [bucketLow, bucketHigh] = bucketBounds(buckets[b][0], subBucketBits);
      const low = Math.max(bucketLow, min);
      const high = Math.max(low, Math.min(bucketHigh, max));
      nanos = Math.min(Math.max(low + Math.floor((high - low) / 2), min), max);
    }
    values.push(nanos / NANOS_PER_MILLI);
  }
  return values;
}

// The nines of the last sample: beyond log10(count) the spectrum holds no more detail.
function spectrumNines(histogram) {
  return Math.max(1, Math.ceil(Math.log10(Math.max(1, histogram.count)) - 1e-9));
}

// Points [nines, milliseconds] of the percentile spectrum up to the given nines, where
// nines = log10(1 / (1 - percentile)); the last point is the maximum.
function spectrumPoints(histogram, maxNines) {
  if (!histogram || !histogram.count) return [];
  const last = Math.log10(histogram.count);
  const nines = [];
  for (let i = 0; i < maxNines * SPECTRUM_STEPS_PER_NINE && i / SPECTRUM_STEPS_PER_NINE < last;
       ++i) {
    nines.push(i / SPECTRUM_STEPS_PER_NINE);
  }
  const percents = nines.map(n => 100 - 100 * 10 ** -n);
  const points = [];
  valuesAtPercents(histogram, percents).forEach((v, i) => points.push([nines[i], v]));
  points.push([
    Math.min(Math.max(last, nines[nines.length - 1] || 0), maxNines),
    histogram.maxNanos / NANOS_PER_MILLI
  ]);
  return points;
}
