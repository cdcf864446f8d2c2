#pragma once

#include <ev.h>

#include <cstdint>
#include <vector>

namespace kelv {

class Connection;

// Sends each waiting connection's request at its due time, with one timer for the thread:
// the earliest due time among the waiting connections arms it. The loop's own wait is only as
// fine as its backend's timeout (a millisecond on epoll), so the timer is set that much (the
// lead) before the due time, and the last stretch is waited out here on the clock, which
// costs no system call. Driven by the thread's loop only.
class SendPacer {
 public:
  SendPacer() = default;
  SendPacer(const SendPacer&) = delete;
  SendPacer& operator=(const SendPacer&) = delete;

  // leadNanos: how far ahead of a due time the loop is asked to wake.
  void Start(struct ev_loop* eventLoop, int64_t leadNanos, size_t capacity);
  // The connection sends its next request (Connection::SendDue) at `due`.
  void Wait(Connection* connection, int64_t due);
  // The timer has expired: sends what is due, then arms it for the next.
  void Fire();
  // Takes every waiting connection out, earliest first, and stops the timer.
  std::vector<Connection*> TakeAll();

  // The lead that suits a loop's backend (libev's mask).
  static int64_t LeadFor(unsigned backend);

 private:
  struct Waiting {
    int64_t due;
    Connection* connection;
  };
  static bool Later(const Waiting& a, const Waiting& b) { return a.due > b.due; }
  void Arm(int64_t due);

  struct ev_loop* loop = nullptr;
  ev_timer timer{};
  std::vector<Waiting> waiting;  // a heap, the earliest due time at the front
  int64_t lead = 0;
  int64_t armedFor = INT64_MAX;  // the due time the timer is set for
  int64_t armedLead = 0;         // the lead it was set with
};

}  // namespace kelv
