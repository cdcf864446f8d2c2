#pragma once

#include <ev.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "lib/engine/send_pacer.h"
#include "lib/engine/send_schedule.h"
#include "lib/reporting/request_counters.h"
#include "lib/transport/tls_socket.h"
#include "lib/util/owned.h"
#include "lib/util/random.h"
#include "lib/util/status.h"

namespace kelv {

class Connection;
class FailureNotices;
struct OAuthCredentials;

// Bits of IOThread::headerFlags: standard headers the user supplied himself.
constexpr unsigned HEADER_HOST = 0x01;
constexpr unsigned HEADER_CONTENT_LENGTH = 0x02;
constexpr unsigned HEADER_CONTENT_TYPE = 0x04;
constexpr unsigned HEADER_AUTHORIZATION = 0x08;
constexpr unsigned HEADER_CONNECTION = 0x10;
constexpr unsigned HEADER_USER_AGENT = 0x20;

struct IOThreadCommand {
  static constexpr int32_t STOP = 0;
  static constexpr int32_t SET_CONNECTIONS = 1;
  int32_t type;
  int32_t connectionCount;  // SET_CONNECTIONS only
  int32_t stopTimeout;      // STOP only, seconds
};

// One worker of the load generator: its own libev loop on its own thread, driving its
// connections. Other threads reach it only through the command queue, the counters swap
// and Join.
class IOThread {
 public:
  IOThread();
  IOThread(const IOThread&) = delete;
  IOThread& operator=(const IOThread&) = delete;
  ~IOThread();

  // Creates the loop and the thread. On failure (no loop, or the system refuses the thread)
  // nothing runs, the IOThread need not be joined, and the message says why.
  Status Start();
  void RequestStop(int seconds);
  void SetNumConnections(int count);
  void Join();
  void Stop();
  // True once the thread body has ended, its loop destroyed: Join will not wait.
  bool Finished() const { return finished.load(std::memory_order_acquire); }

  // Installs a fresh zeroed record and returns the previous one, once no update of the
  // I/O thread can still be writing to it. The caller owns the result. The caller makes the
  // fresh record, on its own thread, so the I/O thread never allocates one nor first touches
  // its pages, and a caller that hands over at a deadline can make it in advance.
  std::unique_ptr<RequestCounters> SwapCounters(
      std::unique_ptr<RequestCounters> fresh = std::make_unique<RequestCounters>());

  // Engine side, called on the I/O thread only.
  void RecordRead(size_t bytes);
  void RecordWrite(size_t bytes);
  void RecordResult(int statusCode, int64_t latencyNanos);
  // On a send schedule: a request left at `sentAt`, due at `due`; its response was complete at
  // `done`. Its latency counts from the due time, its service time from the send.
  void RecordSend(int64_t due, int64_t sentAt);
  void RecordScheduledResult(int statusCode, int64_t due, int64_t sentAt, int64_t done);
  // `due`: the due time of the request the error ended (0 in the closed loop).
  void RecordError(ErrorKind kind, int64_t due = 0);
  void RecordConnectionOpened();

  // Configuration, set by the driver before Start and only read afterwards (except
  // keepRunning, which the loop thread clears on STOP).
  int index = 0;
  int numConnections = 0;
  bool verbose = false;
  std::string method;
  std::string cipherList;
  std::string sendData;
  SslCtxPtr sslCtx;
  const OAuthCredentials* oauth = nullptr;
  const std::vector<std::string>* headers = nullptr;
  unsigned headerFlags = 0;
  uint32_t thinkTime = 0;  // milliseconds
  int noKeepAlive = 0;
  int keepRunning = 0;
  // A request without a complete response this long after its start is a timeout error;
  // nanoseconds, 0 for none.
  int64_t requestTimeout = 0;
  // Where the first error of each kind is shown; null: errors are only counted.
  FailureNotices* failureNotices = nullptr;
  // The run's send schedule; inactive (the default) for the closed loop. Its connections are
  // numbered over all `scheduleThreads` threads (globalConnectionIndex).
  SendSchedule schedule;
  int scheduleThreads = 1;

  // The thread's own state.
  RandomState randomState;
  // Created by Start, destroyed when the thread body ends; null before and after.
  struct ev_loop* loop = nullptr;

  // Handlers of the thread's own watchers, called by their libev callbacks on the I/O thread.
  void HandleWakeup();
  void HardShutdown();
  void SweepRetired();
  void SweepTimeouts();

  // Backend flags for every loop created from now on, replacing the usual choice; 0 restores
  // it. Lets tests reach the path where libev cannot create a loop.
  static void SetBackendFlagsForTest(unsigned flags);

 private:
  friend class Connection;
  using LoopPtr = std::unique_ptr<struct ev_loop, FnDeleter<ev_loop_destroy>>;

  Status CreateLoop();
  void ThreadBody();
  void Run();
  void StartConnection(size_t connIndex);
  void StartTimeoutSweep();
  void StartPacer();
  bool Enqueue(const IOThreadCommand& command);
  void HandleCommand(const IOThreadCommand& command);
  void BeginStop(int seconds);
  void ApplyNumConnections(size_t count);
  // A connection has ended for good; those already removed from `connections` are freed by
  // a sweep from the loop, never inside their own callbacks.
  void ConnectionFinished();
  template <class Update>
  void UpdateCounters(Update update);

  std::vector<std::unique_ptr<Connection>> connections;
  std::vector<std::unique_ptr<Connection>> retiring;
  SendPacer pacer;  // on a send schedule only
  // Where the connections read while they hold no unconsumed bytes: one loop runs them one
  // at a time, and each parses what it read before it returns.
  std::unique_ptr<char[]> readScratch;
  std::thread thread;
  std::atomic<bool> finished{false};
  LoopPtr ownedLoop;  // `loop` is its plain alias, null while no loop exists
  ev_async wakeup{};
  ev_timer shutdownTimer{};
  ev_timer sweepTimer{};
  // Fires when the earliest request in flight is due to time out, or a timeout's length
  // after the last sweep: nothing per request, one pass over the connections per sweep.
  ev_timer timeoutTimer{};
  bool stopPending = false;
  bool loopReferenced = false;  // Run's ev_ref that a STOP gives back

  std::mutex commandLock;  // guards `commands` and the lifetime of `loop` for other threads
  std::queue<IOThreadCommand> commands;

  // Hand-over of the counters record without a lock on the request path: each update runs
  // between two stores of `countersBusy`, and SwapCounters waits for it to clear after the
  // exchange, so no update can still be writing to the record it returns.
  std::atomic<RequestCounters*> counters{nullptr};
  std::atomic<bool> countersBusy{false};
};

// The driver owns its I/O threads, in index order.
using ThreadList = std::vector<std::unique_ptr<IOThread>>;

// Names of the libev backends in a mask, joined with ", ".
std::string backendNames(int mask);

}  // namespace kelv
