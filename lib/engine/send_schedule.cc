#include "lib/engine/send_schedule.h"

#include <cmath>

namespace kelv {

SendSchedule::SendSchedule(int64_t startNanos, double requestsPerSecond, int32_t connectionCount)
    : start(startNanos),
      rate(requestsPerSecond),
      connections(connectionCount),
      slotNanos(1e9 / requestsPerSecond) {}

// The first guess from the division may be one off either way after the truncation in
// DueTime; the loops settle it against DueTime itself, so the two always agree.
int64_t SendSchedule::SlotsDueBefore(int64_t instant) const {
  if (rate <= 0 || instant <= start) return 0;
  int64_t n = static_cast<int64_t>(std::ceil(static_cast<double>(instant - start) / slotNanos));
  const auto due = [this](int64_t slot) {
    return start + static_cast<int64_t>(static_cast<double>(slot) * slotNanos);
  };
  while (n > 0 && due(n - 1) >= instant) --n;
  while (due(n) < instant) ++n;
  return n;
}

int32_t globalConnectionIndex(int32_t local, int32_t threadIndex, int32_t threadCount) {
  return local * threadCount + threadIndex;
}

}  // namespace kelv
