#include "lib/engine/send_pacer.h"

#include <algorithm>

#include "lib/engine/connection.h"
#include "lib/util/clock.h"

namespace kelv {
namespace {

// How late a wake-up from a backend with microsecond timeouts (select) comes on a loaded
// machine, with the thread's timer slack at its least; measured, with room.
constexpr int64_t FINE_WAKE_LEAD_NANOS = 40'000;
// epoll and poll round their timeout up to the next millisecond.
constexpr int64_t COARSE_WAKE_LEAD_NANOS = 1'000'000 + FINE_WAKE_LEAD_NANOS;
// The kernel lets a long sleep overrun by a fraction of its length.
constexpr int64_t SLEEP_OVERRUN_DIVISOR = 1000;

void pacerCallback(struct ev_loop*, ev_timer* timer, int) {
  static_cast<SendPacer*>(timer->data)->Fire();
}

int64_t spinUntil(int64_t due) {
  int64_t now = timeNow();
  while (now < due) now = timeNow();
  return now;
}

}  // namespace

int64_t SendPacer::LeadFor(unsigned backend) {
  return backend == EVBACKEND_SELECT ? FINE_WAKE_LEAD_NANOS : COARSE_WAKE_LEAD_NANOS;
}

void SendPacer::Start(struct ev_loop* eventLoop, int64_t leadNanos, size_t capacity) {
  loop = eventLoop;
  lead = leadNanos;
  waiting.reserve(capacity);  // one place per connection: nothing is allocated per request
  ev_init(&timer, pacerCallback);
  timer.data = this;
}

void SendPacer::Wait(Connection* connection, int64_t due) {
  waiting.push_back({due, connection});
  std::push_heap(waiting.begin(), waiting.end(), Later);
  if (due < armedFor) Arm(due);
}

void SendPacer::Arm(int64_t due) {
  ev_now_update(loop);  // the timer counts from the loop's time, which may be stale
  const int64_t now = timeNow();
  armedLead = lead + std::max<int64_t>(due - now, 0) / SLEEP_OVERRUN_DIVISOR;
  armedFor = due;
  ev_timer_stop(loop, &timer);
  ev_timer_set(&timer, std::max<double>(static_cast<double>(due - armedLead - now) * 1e-9, 0.), 0.);
  ev_timer_start(loop, &timer);
}

void SendPacer::Fire() {
  armedFor = INT64_MAX;
  int64_t now = timeNow();
  if (!waiting.empty()) {
    const int64_t first = waiting.front().due;
    // Woken within the lead: the rest is shorter than any wait the loop could do.
    if (first > now && first - now <= armedLead + lead) now = spinUntil(first);
  }
  while (!waiting.empty() && waiting.front().due <= now) {
    Connection* due = waiting.front().connection;
    std::pop_heap(waiting.begin(), waiting.end(), Later);
    waiting.pop_back();
    due->SendDue();
  }
  if (!waiting.empty() && waiting.front().due < armedFor) Arm(waiting.front().due);
}

std::vector<Connection*> SendPacer::TakeAll() {
  std::sort_heap(waiting.begin(), waiting.end(), Later);  // latest first
  std::vector<Connection*> taken;
  for (auto it = waiting.rbegin(); it != waiting.rend(); ++it) taken.push_back(it->connection);
  waiting.clear();
  if (loop != nullptr) ev_timer_stop(loop, &timer);
  armedFor = INT64_MAX;
  return taken;
}

}  // namespace kelv
