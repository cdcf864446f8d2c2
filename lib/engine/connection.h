#pragma once

#include <ev.h>
#include <http_parser.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "lib/engine/page_buffer.h"
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

// Results of Connect and of the phase ends (WriteDone, ReadDone).
constexpr int PHASE_OK = 0;
constexpr int CONNECT_FAILED = -1;
constexpr int PHASE_WRITE_FAILED = -1;
constexpr int PHASE_PARSE_ERROR = -1;
constexpr int PHASE_STREAM_ENDED = -2;
constexpr int PHASE_READ_FAILED = -3;

// Results of one WriteReady / ReadReady step.
constexpr int STEP_AGAIN = 1;    // call again at once
constexpr int STEP_WAIT = 0;     // back to the loop
constexpr int STEP_FAILED = -1;  // back to the loop, the phase has ended in failure

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
  int Connect();
  void BuildRequest();
  void StartWrite();
  int WriteReady(int events);
  void WriteDone(int code);
  void StartRead();
  int ReadReady(int events);
  void ReadDone(int code);
  void EndRequest(bool close);
  void Close();
  void CloseReady(int events);
  void CloseDone();
  void StartThink(double seconds);
  void ThinkOver();

  // Clears the connection's own flag: it ends the next time its socket is closed.
  void AskToTerminate() { keepRunning = false; }
  // Idle for good: it will not start another request.
  bool Done() const { return done; }
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
  int ParseReceived(const char* data, size_t count);
  void FinishClose();
  void BecomeDone();

  int index;
  bool keepRunning = true;
  std::unique_ptr<Socket> socket;
  IOThread* thread;
  bool directionSwitched = false;
  bool freshSocket = false;  // the watcher has not yet been pointed at this socket
  bool headRequests = false;
  bool done = false;
  ev_io ioWatcher{};
  ev_timer thinkTimer{};
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
};

}  // namespace kelv
