#include "kelv/stop_signals.h"

#include <pthread.h>

#include <ctime>

#include "lib/util/clock.h"

namespace kelv {
namespace {

constexpr int64_t NANOS_PER_SECOND = 1000000000;

bool ignored(const struct sigaction& action) { return action.sa_handler == SIG_IGN; }

timespec timespecFromNanos(int64_t nanos) {
  return timespec{static_cast<time_t>(nanos / NANOS_PER_SECOND),
                  static_cast<long>(nanos % NANOS_PER_SECOND)};
}

}  // namespace

StopSignals::StopSignals() {
  sigaction(SIGINT, nullptr, &previousInt);
  sigaction(SIGTERM, nullptr, &previousTerm);
  sigemptyset(&watched);
  if (!ignored(previousInt)) sigaddset(&watched, SIGINT);
  if (!ignored(previousTerm)) sigaddset(&watched, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &watched, &previousMask);
}

StopSignals::~StopSignals() {
  // A signal still pending now takes its old action once the mask is back.
  sigaction(SIGINT, &previousInt, nullptr);
  sigaction(SIGTERM, &previousTerm, nullptr);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

int StopSignals::WaitUntil(int64_t deadline) {
  while (received == 0) {
    const int64_t left = deadline - timeNow();
    if (left <= 0) return 0;
    const timespec timeout = timespecFromNanos(left);
    // Otherwise the time ran out (EAGAIN) or a handler of another signal ran (EINTR).
    if (const int got = sigtimedwait(&watched, nullptr, &timeout); got > 0) {
      received = got;
      Release();
    }
  }
  return received;
}

void StopSignals::Release() {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  if (sigismember(&watched, SIGINT) == 1) sigaction(SIGINT, &fallback, nullptr);
  if (sigismember(&watched, SIGTERM) == 1) sigaction(SIGTERM, &fallback, nullptr);
  pthread_sigmask(SIG_UNBLOCK, &watched, nullptr);
}

}  // namespace kelv
