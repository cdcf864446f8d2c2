#include "lib/engine/io_thread.h"

#include <sys/prctl.h>

#include <cstdio>
#include <exception>
#include <system_error>

#include "absl/strings/str_cat.h"
#include "lib/engine/connection.h"
#include "lib/engine/watchers.h"
#include "lib/util/clock.h"
#include "lib/util/verbose.h"

namespace kelv {
namespace {

// Below this many connections select is preferred when libev recommends it.
constexpr int SELECT_MAX_CONNECTIONS = 99;
// The loop's clock may lag the one requests are timed by: a sweep that comes a moment early
// finds nothing due and waits at least this long for the rest.
constexpr double MIN_SWEEP_INTERVAL = 0.001;

std::once_flag parserOnce;
std::atomic<unsigned> backendFlagsForTest{0};

void wakeupCallback(struct ev_loop*, ev_async* watcher, int) {
  static_cast<IOThread*>(watcher->data)->HandleWakeup();
}

void shutdownCallback(struct ev_loop*, ev_timer* timer, int) {
  static_cast<IOThread*>(timer->data)->HardShutdown();
}

void sweepCallback(struct ev_loop*, ev_timer* timer, int) {
  static_cast<IOThread*>(timer->data)->SweepRetired();
}

void timeoutCallback(struct ev_loop*, ev_timer* timer, int) {
  static_cast<IOThread*>(timer->data)->SweepTimeouts();
}

}  // namespace

IOThread::IOThread() : readScratch(new char[READ_BUFFER_SIZE]) {
  randomInit(randomState);
  counters.store(new RequestCounters());
}

IOThread::~IOThread() {
  if (thread.joinable()) {
    std::fprintf(stderr, "I/O thread %d destroyed while it runs\n", index);
    std::terminate();
  }
  // Connections first: their TLS sockets come from sslCtx.
  retiring.clear();
  connections.clear();
  delete counters.exchange(nullptr);
}

void IOThread::SetBackendFlagsForTest(unsigned flags) { backendFlagsForTest.store(flags); }

Status IOThread::Start() {
  std::call_once(parserOnce, Connection::InitParserSettings);
  keepRunning = keepRunning >= 0 ? 1 : 0;
  // The loop exists before Start returns, so a command queued right afterwards finds it.
  if (Status created = CreateLoop(); !created.ok()) return created;
  try {
    thread = std::thread([this] {
      ThreadBody();
      finished.store(true, std::memory_order_release);
    });
  } catch (const std::system_error& error) {
    // Too many threads, or no memory for a stack: the loop that would have run goes too.
    std::lock_guard<std::mutex> guard(commandLock);
    loop = nullptr;
    ownedLoop.reset();
    return Status(StatusCode::INTERNAL_ERROR,
                  absl::StrCat("Cannot start I/O thread ", index, ": ", error.what()));
  }
  return Status();
}

Status IOThread::CreateLoop() {
  unsigned flags = numConnections <= SELECT_MAX_CONNECTIONS
                       ? (ev_recommended_backends() & EVBACKEND_SELECT)
                       : 0U;
  if (unsigned forced = backendFlagsForTest.load(); forced != 0) flags = forced;
  LoopPtr created(ev_loop_new(flags));
  if (created == nullptr) {
    return Status(StatusCode::INTERNAL_ERROR,
                  absl::StrCat("Cannot create the event loop of I/O thread ", index));
  }
  ev_async_init(&wakeup, wakeupCallback);
  wakeup.data = this;
  ev_async_start(created.get(), &wakeup);
  ev_unref(created.get());  // the wake-up watcher alone does not keep the loop running
  std::lock_guard<std::mutex> guard(commandLock);
  ownedLoop = std::move(created);
  loop = ownedLoop.get();
  return Status();
}

void IOThread::ThreadBody() {
  verbosef(verbose, "Starting new event loop %i for %i connection\n", index, numConnections);
  Run();
  std::lock_guard<std::mutex> guard(commandLock);
  loop = nullptr;  // from here on queued commands are dropped: nobody would run them
  ownedLoop.reset();
}

void IOThread::Run() {
  verbosef(verbose, "libev backend = %s\n", backendNames(static_cast<int>(ev_backend(loop))).c_str());
  StartPacer();
  for (int i = 0; i < numConnections; ++i) StartConnection(static_cast<size_t>(i));
  StartTimeoutSweep();
  if (keepRunning != 0) {
    ev_ref(loop);  // keeps the loop alive until a STOP gives it back
    loopReferenced = true;
  }
  int result = ev_run(loop, 0);
  verbosef(verbose, "ev_run finished: %i\n", result);
}

void IOThread::StartConnection(size_t connIndex) {
  connections.push_back(std::make_unique<Connection>(static_cast<int>(connIndex), this));
  connections.back()->Start();
}

void IOThread::StartTimeoutSweep() {
  if (requestTimeout <= 0) return;
  const double seconds = secondsFromNanos(requestTimeout);
  ev_timer_init(&timeoutTimer, timeoutCallback, seconds, seconds);
  timeoutTimer.data = this;
  ev_timer_start(loop, &timeoutTimer);
  ev_unref(loop);  // a loop whose connections have all ended does not wait for it
}

// The kernel may let a thread's timed waits overrun by its timer slack (50 microseconds by
// default); a thread that sends on a schedule asks for none.
void IOThread::StartPacer() {
  if (!schedule.Active()) return;
  static_cast<void>(prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL));  // only finer waits lost
  pacer.Start(loop, SendPacer::LeadFor(ev_backend(loop)),
              static_cast<size_t>(numConnections));
}

// A request that starts after this sweep is due no earlier than a timeout's length from
// now, so the next sweep comes then at the latest, or sooner for one already in flight.
void IOThread::SweepTimeouts() {
  const int64_t now = timeNow();
  int64_t next = now + requestTimeout;
  for (const auto& c : connections) next = std::min(next, c->ExpireRequest(now, requestTimeout));
  for (const auto& c : retiring) next = std::min(next, c->ExpireRequest(now, requestTimeout));
  // Repeating with a new interval moves the timer without stopping it.
  timeoutTimer.repeat = std::max(secondsFromNanos(next - now), MIN_SWEEP_INTERVAL);
  ev_timer_again(loop, &timeoutTimer);
}

bool IOThread::Enqueue(const IOThreadCommand& command) {
  std::lock_guard<std::mutex> guard(commandLock);
  if (loop == nullptr) return false;
  commands.push(command);
  ev_async_send(loop, &wakeup);
  return true;
}

void IOThread::RequestStop(int seconds) {
  verbosef(verbose, "Signalling to threads to stop running in less than %i seconds\n", seconds);
  static_cast<void>(Enqueue({IOThreadCommand::STOP, 0, seconds}));  // no loop: nothing to stop
}

void IOThread::SetNumConnections(int count) {
  if (count < 0) {
    std::fprintf(stderr, "Invalid connection count %d ignored\n", count);
    return;
  }
  static_cast<void>(Enqueue({IOThreadCommand::SET_CONNECTIONS, count, 0}));
}

void IOThread::Join() {
  if (thread.joinable()) thread.join();
}

void IOThread::Stop() {
  RequestStop(1);
  Join();
}

void IOThread::HandleWakeup() {
  for (;;) {
    IOThreadCommand command;
    {
      std::lock_guard<std::mutex> guard(commandLock);
      if (commands.empty()) break;
      command = commands.front();
      commands.pop();
    }
    HandleCommand(command);
  }
}

void IOThread::HandleCommand(const IOThreadCommand& command) {
  switch (command.type) {
    case IOThreadCommand::STOP:
      BeginStop(command.stopTimeout);
      break;
    case IOThreadCommand::SET_CONNECTIONS:
      ApplyNumConnections(static_cast<size_t>(command.connectionCount));
      break;
    default:
      break;
  }
}

void IOThread::BeginStop(int seconds) {
  if (stopPending) return;  // the first STOP's timer already runs
  stopPending = true;
  verboseLine(verbose, "Marking main loop to stop");
  keepRunning = 0;
  // Connections waiting for a due time will not send again.
  for (Connection* waiting : pacer.TakeAll()) waiting->ScheduleNext();
  if (loopReferenced) {
    ev_unref(loop);
    loopReferenced = false;
  }
  startOneShot(loop, &shutdownTimer, shutdownCallback, static_cast<double>(seconds), this);
  ev_unref(loop);  // nor does the timer keep it alive: idle connections end it sooner
}

void IOThread::HardShutdown() {
  verboseLine(verbose, "Going down for a hard shutdown");
  ev_break(loop, EVBREAK_ALL);
}

void IOThread::ApplyNumConnections(size_t count) {
  verbosef(verbose, "Current connections = %zu. New connections = %zu\n", connections.size(),
           count);
  while (connections.size() < count) {
    verbosef(verbose, "Starting new connection %zu\n", connections.size());
    StartConnection(connections.size());
  }
  while (connections.size() > count) {
    std::unique_ptr<Connection> removed = std::move(connections.back());
    connections.pop_back();
    verbosef(verbose, "Nicely asking connection %i to terminate\n", removed->Index());
    removed->AskToTerminate();
    retiring.push_back(std::move(removed));
  }
  SweepRetired();  // those already idle can go at once
}

void IOThread::ConnectionFinished() {
  if (retiring.empty() || ev_is_active(&sweepTimer)) return;
  startOneShot(loop, &sweepTimer, sweepCallback, 0., this);
}

void IOThread::SweepRetired() {
  std::erase_if(retiring, [](const std::unique_ptr<Connection>& c) { return c->Done(); });
}

template <class Update>
void IOThread::UpdateCounters(Update update) {
  countersBusy.store(true, std::memory_order_seq_cst);
  update(*counters.load(std::memory_order_seq_cst));
  countersBusy.store(false, std::memory_order_release);
}

std::unique_ptr<RequestCounters> IOThread::SwapCounters(std::unique_ptr<RequestCounters> fresh) {
  if (fresh == nullptr) fresh = std::make_unique<RequestCounters>();
  std::unique_ptr<RequestCounters> previous(
      counters.exchange(fresh.release(), std::memory_order_seq_cst));
  // An update that loaded the old pointer before the exchange has set the flag before that
  // load; once the flag is clear, it has finished.
  while (countersBusy.load(std::memory_order_seq_cst)) std::this_thread::yield();
  return previous;
}

void IOThread::RecordRead(size_t bytes) {
  UpdateCounters([bytes](RequestCounters& c) { c.bytesRead += bytes; });
}

void IOThread::RecordWrite(size_t bytes) {
  UpdateCounters([bytes](RequestCounters& c) { c.bytesWritten += bytes; });
}

namespace {

void countResponse(RequestCounters& c, int statusCode, int64_t latencyNanos) {
  if (statusCode >= 200 && statusCode <= 299) {
    ++c.successful;
  } else {
    ++c.unsuccessful;
  }
  // The parser gives three digits; anything else would be a fault of its own.
  if (statusCode >= 0 && static_cast<size_t>(statusCode) < STATUS_CODE_LIMIT) {
    ++c.statusCodes[static_cast<size_t>(statusCode)];
  }
  c.latencies.Record(latencyNanos);
}

}  // namespace

void IOThread::RecordResult(int statusCode, int64_t latencyNanos) {
  UpdateCounters([statusCode, latencyNanos](RequestCounters& c) {
    countResponse(c, statusCode, latencyNanos);
  });
}

void IOThread::RecordSend(int64_t due, int64_t sentAt) {
  UpdateCounters([due, sentAt](RequestCounters& c) {
    if (due < c.dueFrom || c.schedule == nullptr) return;
    ScheduleCounters& s = *c.schedule;
    const int64_t lag = sentAt - due;
    ++s.sent;
    if (lag > LATE_SEND_NANOS) ++s.lateSends;
    s.maxLagNanos = std::max(s.maxLagNanos, lag);
    s.sendLags.Record(lag);
  });
}

void IOThread::RecordScheduledResult(int statusCode, int64_t due, int64_t sentAt, int64_t done) {
  UpdateCounters([=](RequestCounters& c) {
    if (due < c.dueFrom) return;
    countResponse(c, statusCode, done - due);
    if (c.schedule != nullptr) c.schedule->serviceTimes.Record(done - sentAt);
  });
}

void IOThread::RecordError(ErrorKind kind, int64_t due) {
  UpdateCounters([kind, due](RequestCounters& c) {
    if (due >= c.dueFrom) ++c.errors[static_cast<size_t>(kind)];
  });
}

void IOThread::RecordConnectionOpened() {
  UpdateCounters([](RequestCounters& c) { ++c.connectionsOpened; });
}

std::string backendNames(int mask) {
  static constexpr struct {
    int bit;
    const char* name;
  } BACKENDS[] = {{0x01, "select"}, {0x02, "poll"},      {0x04, "epoll"},
                  {0x40, "linux AIO"}, {0x08, "kqueue"}, {0x10, "/dev/poll"},
                  {0x20, "Solaris event port"}};
  std::string names;
  for (const auto& backend : BACKENDS) {
    if ((mask & backend.bit) == 0) continue;
    if (!names.empty()) names += ", ";
    names += backend.name;
  }
  return names;
}

}  // namespace kelv
