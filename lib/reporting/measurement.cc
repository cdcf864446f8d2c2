#include "lib/reporting/measurement.h"

namespace kelv {

Results figuresOf(const Measurement& measurement) {
  Results r = computeStatistics(measurement.latencies, measurement.counts);
  // A merge's rates are the sums of its runs' rates, not its counts over its common window.
  r.throughput = measurement.rates.throughput;
  r.sendBandwidth = measurement.rates.sendBandwidth;
  r.receiveBandwidth = measurement.rates.receiveBandwidth;
  return r;
}

}  // namespace kelv
