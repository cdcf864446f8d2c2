#include "lib/reporting/request_counters.h"

namespace kelv {

std::atomic<bool> recording{false};
std::atomic<int32_t> connectionsOpened{0};
std::atomic<int32_t> socketErrors{0};

// The flag is read without ordering: a count made just before or after it changes is
// acceptable, and a relaxed load costs nothing on the request path.
void recordConnectionOpened() {
  if (recording.load(std::memory_order_relaxed)) {
    connectionsOpened.fetch_add(1, std::memory_order_relaxed);
  }
}

void recordSocketError() {
  if (recording.load(std::memory_order_relaxed)) {
    socketErrors.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace kelv
