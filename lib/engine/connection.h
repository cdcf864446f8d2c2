#pragma once

#include <ev.h>
#include <http_parser.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "lib/engine/page_buffer.h"
#include "lib/reporting/request_counters.h"
#include "lib/transport/io_result.h"
#include "lib/transport/socket.h"

namespace kelv {

class IOThread;
class TargetUrl;

constexpr size_t READ_BUFFER_SIZE = 8192;
// Pause before a failed connect is tried again.
constexpr double CONNECT_RETRY_DELAY = 0.25;
// Connect attempts in a row after which a thread that sends one request per connection (or
// is stopping) gives that request up: five seconds of retries.
constexpr int LAST_REQUEST_CONNECT_ATTEMPTS = 20;

// Longest wait for the peer's close notification once this side has sent its own.
constexpr double CLOSE_NOTIFY_TIMEOUT = 2.0;

// Where a connection is in its cycle; the table at the top of connection.cc.
enum class ConnectionState : uint8_t {
  NEW,
  CONNECT_WAIT,  // after a failed connect, until the retry
  WRITING,       // the request (a new connection's connect and TLS handshake included)
  READING,       // the response
  THINKING,      // between requests
  WAITING,       // on a send schedule: until its next request is due
  CLOSING,       // a TLS shutdown waiting for the socket
  DONE,          // idle for good
};

enum class ConnectResult { OK, FAILED };

// How a write or read phase ended; the value is the code that -v prints.
enum class PhaseResult : int {
  OK = 0,
  WRITE_FAILED = -1,
  PARSE_ERROR = -1,
  STREAM_ENDED = -2,
  READ_FAILED = -3,
};

// Results of one WriteReady / ReadReady step.
enum class StepResult : int {
  AGAIN = 1,    // call again at once
  WAIT = 0,     // back to the loop
  FAILED = -1,  // back to the loop, the phase has ended in failure
};

// One simulated client: at most one TCP or TLS connection to its current target, on which it
// sends requests one after another, each waiting for its complete response. Driven only by
// its thread's loop: one io watcher, one timer, never blocking, never locking.
class Connection {
 public:
  Connection(int connIndex, IOThread* owner);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  // Once per process, before any I/O thread runs.
  static void InitParserSettings();

  void Start();
  void SendRequest();
  // On a send schedule: takes the next slot, and sends its request at its due time, or at once
  // when that has passed.
  void ScheduleNext();
  // The request of the slot taken is due now: it leaves, counted from its due time.
  void SendDue();
  ConnectResult Connect();
  void BuildRequest();
  void StartWrite();
  StepResult WriteReady(int events);
  // A failed phase has been counted, under its kind, where it failed.
  void WriteDone(PhaseResult result);
  void StartRead();
  StepResult ReadReady(int events);
  void ReadDone(PhaseResult result);
  void EndRequest(bool close);
  void Close();
  void CloseReady(int events);
  void CloseDone();
  void StartThink(double seconds);
  void ThinkOver();
  // The TLS peer's close notification did not come in time: the socket is dropped.
  void CloseExpired();

  // Times out the request in flight once it has run for the timeout; the time (timeNow)
  // at which the request in flight will time out, or INT64_MAX when none is in flight.
  int64_t ExpireRequest(int64_t now, int64_t timeout);

  // Clears the connection's own flag: it ends the next time its socket is closed.
  void AskToTerminate() { keepRunning = false; }
  // Idle for good: it will not start another request.
  bool Done() const { return state == ConnectionState::DONE; }
  int Index() const { return index; }

  // Parser callbacks.
  void MarkResponseDone() { responseDone = true; }
  bool ExpectsNoBody() const { return headRequests; }

 private:
  void StopIo();
  void ArmIo(void (*callback)(struct ev_loop*, ev_io*, int), int events);
  // The direction rule: the watcher keeps its phase's callback and waits for what the
  // socket needs; the two lines are the phase's "would block" texts.
  void FollowDirection(IoStatus need, int phaseDirection, const char* needsReadLine,
                       const char* needsWriteLine, bool announceSwitch);
  // Parses the bytes now held at `data` (the thread's shared buffer or readBuf) and keeps
  // what the parser leaves in readBuf.
  StepResult ParseReceived(const char* data, size_t count);
  // A TLS close notification ends the stream the way a plain close does.
  StepResult EndOfStream();
  ConnectResult ConnectFailed(ErrorKind kind, const std::string& reason);
  // Counts one socket error of that kind; true when it is the first of its kind in the
  // process, which the caller then shows with ShowError.
  bool CountError(ErrorKind kind);
  void ShowError(const std::string& reason) const;
  // Ends the read phase in failure, counting the error; the first of its kind is shown
  // with the reason, and the detail in parentheses when there is one.
  StepResult FailRead(PhaseResult result, ErrorKind kind, const char* reason,
                      const char* detail = nullptr);
  void FinishClose();
  void BecomeDone();
  // What follows a request that ended with the connection kept running: think time, the next
  // slot of the schedule, or the next request at once.
  void NextRequest();
  void BeginRequest();
  // The instant a request's time limit counts from: its due time on a send schedule.
  int64_t TimedFrom() const { return paced ? dueTime : startTime; }

  int index;
  ConnectionState state = ConnectionState::NEW;
  bool keepRunning = true;
  std::unique_ptr<Socket> socket;
  IOThread* thread;
  bool directionSwitched = false;
  bool freshSocket = false;  // the watcher has not yet been pointed at this socket
  bool headRequests = false;
  ev_io ioWatcher{};
  ev_timer thinkTimer{};  // think time, connect retries and the wait for a close notification
  const TargetUrl* url = nullptr;
  bool needsRebuild = true;
  std::string requestText;
  std::string sendBuf;
  size_t sendPos = 0;
  // Holds only what the parser left unconsumed; reads go to the thread's shared buffer
  // while it is empty, so that its pages are seldom touched.
  PageBuffer readBuf;
  size_t readLen = 0;
  http_parser parser{};
  bool responseDone = false;
  bool needsConnect = false;
  int failedConnects = 0;  // in a row
  int64_t startTime = 0;
  // On a send schedule: where the connection sits among all the run's, the slot it takes
  // next, and the due time of the request of the slot taken (0 in the closed loop).
  const bool paced;
  int32_t scheduleIndex = 0;
  int64_t nextSlot = 0;
  int64_t dueTime = 0;
};

}  // namespace kelv
