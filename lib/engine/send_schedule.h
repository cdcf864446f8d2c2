#pragma once

#include <cstdint>

namespace kelv {

// The instants at which an open-model run sends its requests. The whole run is one even
// stream of slots, slot n due at start + n / rate; connection g of `connections` takes the
// slots g, g + connections, g + 2 * connections, ..., so each connection keeps rate /
// connections and the connections are offset from one another by one slot. Every instant is
// computed from the start, never from the previous send, so no error accumulates.
class SendSchedule {
 public:
  SendSchedule() = default;
  SendSchedule(int64_t startNanos, double requestsPerSecond, int32_t connectionCount);

  // The due time of request `k` (from 0) of connection `connection` (from 0, over all threads).
  int64_t DueTime(int32_t connection, int64_t k) const {
    return start +
           static_cast<int64_t>(static_cast<double>(k * connections + connection) * slotNanos);
  }
  // The number of slots of the whole run due before `instant`.
  int64_t SlotsDueBefore(int64_t instant) const;

  int64_t Start() const { return start; }
  double Rate() const { return rate; }
  bool Active() const { return rate > 0; }

 private:
  int64_t start = 0;
  double rate = 0;  // 0: no schedule, the closed loop
  int32_t connections = 1;
  double slotNanos = 0;
};

// Where connection `local` of I/O thread `threadIndex` (of `threadCount`) sits among all the
// run's connections: interleaved, so that each thread's share of the slots is evenly spaced
// too whenever the connections divide evenly over the threads.
int32_t globalConnectionIndex(int32_t local, int32_t threadIndex, int32_t threadCount);

}  // namespace kelv
