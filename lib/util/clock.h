#pragma once

#include <cstdint>

namespace kelv {

// Nanoseconds of the monotonic clock: latencies, phases and progress are measured with
// it, so a step of the system clock during a run cannot distort them.
int64_t timeNow();

// Nanoseconds since the Unix epoch from the real-time clock, for the few places where a
// wall-clock time is the point (the OAuth timestamp).
int64_t wallClockNow();

double secondsFromNanos(int64_t nanos);
double millisFromNanos(int64_t nanos);

}  // namespace kelv
