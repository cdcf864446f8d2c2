#include "lib/reporting/measurement.h"

#include "lib/util/clock.h"

namespace kelv {

RateFigures rateFiguresOf(double target, int64_t due, const ScheduleCounters& sent,
                          const Results& counts) {
  RateFigures f;
  f.target = target;
  f.due = due;
  f.sent = sent.sent;
  f.achieved =
      counts.elapsedSeconds > 0 ? static_cast<double>(sent.sent) / counts.elapsedSeconds : 0;
  f.lateSends = sent.lateSends;
  f.maxLagMillis = millisFromNanos(sent.maxLagNanos);
  f.unsentAtEnd = due - sent.sent;
  f.inFlightAtEnd = sent.sent - counts.successful - counts.unsuccessful - counts.socketErrors;
  return f;
}

Results figuresOf(const Measurement& measurement) {
  Results r = computeStatistics(measurement.latencies, measurement.counts);
  // A merge's rates are the sums of its runs' rates, not its counts over its common window.
  r.throughput = measurement.rates.throughput;
  r.sendBandwidth = measurement.rates.sendBandwidth;
  r.receiveBandwidth = measurement.rates.receiveBandwidth;
  return r;
}

}  // namespace kelv
