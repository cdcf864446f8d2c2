#include "lib/util/clock.h"

#include <time.h>

#include "lib/util/check.h"

namespace kelv {
namespace {

int64_t readClock(clockid_t clock) {
  timespec now;
  CHECK_OR_ABORT(clock_gettime(clock, &now) == 0, "kelv_time");
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

int64_t timeNow() { return readClock(CLOCK_MONOTONIC); }

int64_t wallClockNow() { return readClock(CLOCK_REALTIME); }

double secondsFromNanos(int64_t nanos) { return static_cast<double>(nanos) / 1e9; }

double millisFromNanos(int64_t nanos) { return static_cast<double>(nanos) / 1e6; }

}  // namespace kelv
