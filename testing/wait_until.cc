#include "testing/wait_until.h"

#include <chrono>
#include <thread>

namespace kelv {
namespace {

constexpr int POLL_MILLIS = 10;

}  // namespace

bool waitUntil(const std::function<bool()>& condition, int timeoutMillis) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MILLIS));
  }
  return true;
}

}  // namespace kelv
