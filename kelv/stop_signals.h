#pragma once

#include <signal.h>

#include <cstdint>

namespace kelv {

// SIGINT and SIGTERM, the signals that end a run early with its report, as events that the
// driving thread waits for instead of sleeping: no handler runs. They are blocked from
// construction on, so threads started later inherit the mask and never take one, and the
// driving thread takes them with sigtimedwait. After the first one their default action is
// back and they are unblocked, so a second one ends the process at once. A signal that was
// ignored when the program started stays ignored. The destructor restores the mask and the
// actions as they were.
class StopSignals {
 public:
  StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  ~StopSignals();

  // Waits until the deadline (a timeNow value) or a stop signal, whichever comes first. The
  // signal's number, or 0 when the time ran out; once a signal came, its number at once.
  int WaitUntil(int64_t deadline);

 private:
  void Release();

  sigset_t watched;
  sigset_t previousMask;
  struct sigaction previousInt {};
  struct sigaction previousTerm {};
  int received = 0;
};

}  // namespace kelv
