// The connection state machine. Request composition is in connection_request.cc, reading
// and parsing the response in connection_response.cc.
//
//   state         event                                   next state
//   new           Start                                   connect wait | writing | waiting
//   connect wait  think timer (CONNECT_RETRY_DELAY)       connect wait | writing
//   writing       all bytes written                       reading
//   writing       write fails                             closing | (reconnect) writing
//   writing       request timeout                         (reconnect) writing | thinking | done
//   reading       response complete, socket kept          writing | thinking | waiting
//   reading       response complete, socket not kept      closing
//   reading       read / parse fails, stream ends early   closing
//   reading       request timeout                         (reconnect) writing | thinking | done
//   thinking      think timer                             writing | connect wait
//   waiting       its next request falls due (send pacer)  writing | connect wait
//   closing       close completes or fails, or            writing | thinking | done
//                 CLOSE_NOTIFY_TIMEOUT passes
//   done          -                                       (until destroyed)
//
// "closing" is left at once when the socket closes without waiting (always for plain TCP);
// a TLS shutdown may wait for readability or writability first. A request that times out
// drops its socket without a shutdown: the peer has stopped answering.

#include "lib/engine/connection.h"

#include <cstdint>
#include <cstdio>

#include "lib/engine/failures.h"
#include "lib/engine/io_thread.h"
#include "lib/engine/watchers.h"
#include "lib/targets/target_url.h"
#include "lib/transport/address_list.h"
#include "lib/transport/tls_socket.h"
#include "lib/util/clock.h"
#include "lib/util/verbose.h"

namespace kelv {
namespace {

void writeCallback(struct ev_loop*, ev_io* watcher, int events) {
  auto* connection = static_cast<Connection*>(watcher->data);
  while (connection->WriteReady(events) == StepResult::AGAIN) {
  }
}

void readCallback(struct ev_loop*, ev_io* watcher, int events) {
  auto* connection = static_cast<Connection*>(watcher->data);
  while (connection->ReadReady(events) == StepResult::AGAIN) {
  }
}

void closeCallback(struct ev_loop*, ev_io* watcher, int events) {
  static_cast<Connection*>(watcher->data)->CloseReady(events);
}

void thinkCallback(struct ev_loop*, ev_timer* timer, int) {
  static_cast<Connection*>(timer->data)->ThinkOver();
}

void closeTimeoutCallback(struct ev_loop*, ev_timer* timer, int) {
  static_cast<Connection*>(timer->data)->CloseExpired();
}

}  // namespace

Connection::Connection(int connIndex, IOThread* owner)
    : index(connIndex),
      thread(owner),
      headRequests(owner->method == "HEAD"),
      readBuf(READ_BUFFER_SIZE),
      paced(owner->schedule.Active()),
      scheduleIndex(globalConnectionIndex(connIndex, owner->index, owner->scheduleThreads)) {
  ioWatcher.data = this;
  thinkTimer.data = this;
}

// The loop has ended (or never ran the watchers) before a connection is destroyed, so the
// watchers are left alone; the socket's destructor closes its descriptor.
Connection::~Connection() = default;

void Connection::Start() {
  url = TargetUrl::Next(thread->randomState);
  if (url == nullptr) {
    std::fprintf(stderr, "No target URL for connection %d\n", index);
    BecomeDone();
    return;
  }
  needsConnect = true;
  if (paced) {
    ScheduleNext();
  } else {
    SendRequest();
  }
}

void Connection::SendRequest() {
  startTime = timeNow();
  BeginRequest();
}

void Connection::ScheduleNext() {
  if (thread->keepRunning == 0) {
    verbosef(thread->verbose, "Connection %i closed and done\n", index);
    BecomeDone();
    return;
  }
  dueTime = thread->schedule.DueTime(scheduleIndex, nextSlot++);
  if (dueTime <= timeNow()) {
    SendDue();  // busy when it fell due: it leaves as soon as the connection is free
    return;
  }
  state = ConnectionState::WAITING;
  thread->pacer.Wait(this, dueTime);
}

void Connection::SendDue() {
  startTime = timeNow();
  thread->RecordSend(dueTime, startTime);
  BeginRequest();
}

void Connection::BeginRequest() {
  if (needsConnect) {
    if (Connect() != ConnectResult::OK) {
      ++failedConnects;
      // A connection its thread has removed stops here instead of retrying for ever, and so
      // does one whose thread will not send another request, after a bounded number of
      // attempts: a host without an address would otherwise keep that loop alive for ever.
      if (!keepRunning ||
          (thread->keepRunning == 0 && failedConnects >= LAST_REQUEST_CONNECT_ATTEMPTS)) {
        verbosef(thread->verbose, "Connection %i closed and done\n", index);
        BecomeDone();
        return;
      }
      StartThink(CONNECT_RETRY_DELAY);
      state = ConnectionState::CONNECT_WAIT;
      return;
    }
    failedConnects = 0;
    thread->RecordConnectionOpened();
  }
  BuildRequest();
  StartWrite();
}

ConnectResult Connection::Connect() {
  sockaddr_storage address = url->addresses.Choose(url->port, thread->index);
  if (address.ss_family == AF_UNSPEC) {
    verboseLine(thread->verbose, "No addresses to look up");
    return ConnectFailed(ErrorKind::NO_ADDRESS, url->lookupError.empty()
                                                    ? "no address"
                                                    : "no address: " + asPhrase(url->lookupError));
  }
  if (thread->verbose) {
    verbosef(true, "Connecting to %s. (TLS = %i)\n", AddressList::NumericName(address).c_str(),
             url->isSsl ? 1 : 0);
  }
  std::unique_ptr<Socket> fresh;
  IoResult result;
  if (url->isSsl) {
    auto tls = std::make_unique<TLSSocket>();
    result = tls->Connect(address, url->host, thread->sslCtx.get());
    fresh = std::move(tls);
  } else {
    fresh = std::make_unique<Socket>();
    result = fresh->Connect(address);
  }
  if (!result.status.ok()) {
    if (thread->verbose) verbosef(true, "Error on connect: %s\n", result.status.ToString().c_str());
    return ConnectFailed(connectErrorKind(result), ioFailureReason(result));
  }
  socket = std::move(fresh);
  freshSocket = true;
  readLen = 0;  // bytes a parser left over belong to the stream that has gone
  return ConnectResult::OK;
}

// Every failed attempt says why on standard error, verbose or not.
ConnectResult Connection::ConnectFailed(ErrorKind kind, const std::string& reason) {
  std::fprintf(stderr, "Error opening TCP connection: %s\n", reason.c_str());
  if (CountError(kind)) ShowError(reason);
  return ConnectResult::FAILED;
}

bool Connection::CountError(ErrorKind kind) {
  thread->RecordError(kind, dueTime);
  return thread->failureNotices != nullptr && thread->failureNotices->Claim(kind);
}

void Connection::ShowError(const std::string& reason) const { FailureNotices::Show(*url, reason); }

void Connection::StopIo() { ev_io_stop(thread->loop, &ioWatcher); }

void Connection::ArmIo(void (*callback)(struct ev_loop*, ev_io*, int), int events) {
  if (freshSocket) {
    armIo(thread->loop, &ioWatcher, callback, socket->Fd(), events, this);
    freshSocket = false;
  } else {
    rearmIo(thread->loop, &ioWatcher, callback, events);
  }
}

void Connection::StartWrite() {
  bool reused = !freshSocket;
  state = ConnectionState::WRITING;
  directionSwitched = false;
  ArmIo(writeCallback, EV_WRITE);
  // A kept-alive socket is almost always writable: write in this iteration. A new one must
  // wait until its connect has finished.
  if (reused) feedIo(thread->loop, &ioWatcher, EV_WRITE);
}

void Connection::FollowDirection(IoStatus need, int phaseDirection, const char* needsReadLine,
                                 const char* needsWriteLine, bool announceSwitch) {
  int wanted = need == IoStatus::NEED_READ ? EV_READ : EV_WRITE;
  verboseLine(thread->verbose, wanted == EV_READ ? needsReadLine : needsWriteLine);
  bool opposite = wanted != phaseDirection;
  if (opposite == directionSwitched) return;  // already waiting for that
  if (announceSwitch) {
    verboseLine(thread->verbose, opposite ? "Switching I/O direction" : "Restoring I/O direction");
  }
  directionSwitched = opposite;
  switchIoDirection(thread->loop, &ioWatcher, wanted);
}

StepResult Connection::WriteReady(int events) {
  verbosef(thread->verbose, "I/O ready on write path: %i\n", events);
  size_t written = 0;
  IoResult result = socket->Write(sendBuf.data() + sendPos, sendBuf.size() - sendPos, &written);
  if (!result.status.ok() || result.ioStatus == IoStatus::END_OF_STREAM) {
    if (thread->verbose) verbosef(true, "Error on write: %s\n", result.status.ToString().c_str());
    StopIo();
    // A new connection that has not carried a byte yet fails as its connect.
    const ErrorKind kind = transferErrorKind(result, true, !needsConnect || sendPos > 0);
    if (CountError(kind)) ShowError(ioFailureReason(result));
    WriteDone(PhaseResult::WRITE_FAILED);
    return StepResult::FAILED;
  }
  if (result.ioStatus != IoStatus::OK) {
    FollowDirection(result.ioStatus, EV_WRITE, "I/O would block on read while writing",
                    "I/O would block on writing", true);
    return StepResult::WAIT;
  }
  verbosef(thread->verbose, "Successfully wrote %zu bytes\n", written);
  sendPos += written;
  thread->RecordWrite(written);
  if (sendPos == sendBuf.size()) {
    StopIo();
    WriteDone(PhaseResult::OK);
    return StepResult::WAIT;
  }
  if (written == 0) {  // nothing moved: wait for writability rather than spin
    FollowDirection(IoStatus::NEED_WRITE, EV_WRITE, "I/O would block on read while writing",
                    "I/O would block on writing", true);
    return StepResult::WAIT;
  }
  return StepResult::AGAIN;
}

void Connection::WriteDone(PhaseResult result) {
  if (result != PhaseResult::OK) {
    verbosef(thread->verbose, "Error on write: %i\n", static_cast<int>(result));
    EndRequest(true);
    return;
  }
  verboseLine(thread->verbose, "Write complete. Starting to read");
  responseDone = false;
  http_parser_init(&parser, HTTP_RESPONSE);
  parser.data = this;
  StartRead();
}

void Connection::StartRead() {
  state = ConnectionState::READING;
  directionSwitched = false;
  ArmIo(readCallback, EV_READ);
}

void Connection::EndRequest(bool close) {
  if (!close && thread->noKeepAlive == 0 && thread->keepRunning != 0) {
    needsConnect = false;
    NextRequest();
    return;
  }
  needsConnect = true;
  Close();
}

void Connection::Close() {
  if (socket == nullptr) {
    CloseDone();
    return;
  }
  StopIo();  // the descriptor may go now: libev must not watch it any more
  IoResult result = socket->Close();
  if (!result.status.ok()) {
    if (thread->verbose) {
      verbosef(true, "Close finished with error: %s\n", result.status.ToString().c_str());
    }
    FinishClose();
  } else if (result.ioStatus == IoStatus::NEED_READ || result.ioStatus == IoStatus::NEED_WRITE) {
    const bool needsRead = result.ioStatus == IoStatus::NEED_READ;
    verboseLine(thread->verbose, needsRead ? "Close needs read" : "Close needs write");
    state = ConnectionState::CLOSING;
    directionSwitched = !needsRead;
    ArmIo(closeCallback, needsRead ? EV_READ : EV_WRITE);
    // A peer that never sends its close notification must not hold the connection.
    startOneShot(thread->loop, &thinkTimer, closeTimeoutCallback, CLOSE_NOTIFY_TIMEOUT, this);
  } else {
    verboseLine(thread->verbose, "Close complete");
    FinishClose();
  }
}

void Connection::CloseReady(int events) {
  verbosef(thread->verbose, "I/O ready on shutdown path: %i\n", events);
  size_t ignored = 0;  // a zero-capacity read only moves the TLS shutdown on
  IoResult result = socket->Read(nullptr, 0, &ignored);
  if (!result.status.ok()) {
    if (thread->verbose) {
      verbosef(true, "Shutdown finished with error: %s\n", result.status.ToString().c_str());
    }
    FinishClose();
  } else if (result.ioStatus == IoStatus::NEED_READ || result.ioStatus == IoStatus::NEED_WRITE) {
    FollowDirection(result.ioStatus, EV_READ, "Close needs read", "Close needs write", false);
  } else {
    verboseLine(thread->verbose, "Close complete");
    FinishClose();
  }
}

void Connection::CloseExpired() { FinishClose(); }

void Connection::FinishClose() {
  ev_timer_stop(thread->loop, &thinkTimer);  // the close's time limit, if it was set
  StopIo();
  socket.reset();
  CloseDone();
}

void Connection::CloseDone() {
  if (keepRunning && thread->keepRunning != 0) {
    NextRequest();
    return;
  }
  verbosef(thread->verbose, "Connection %i closed and done\n", index);
  BecomeDone();
}

void Connection::NextRequest() {
  if (thread->thinkTime != 0) {
    StartThink(thread->thinkTime / 1000.0);
  } else if (paced) {
    ScheduleNext();
  } else {
    SendRequest();
  }
}

void Connection::BecomeDone() {
  state = ConnectionState::DONE;
  thread->ConnectionFinished();
}

void Connection::StartThink(double seconds) {
  verbosef(thread->verbose, "Thinking for %.4lf seconds\n", seconds);
  state = ConnectionState::THINKING;
  startOneShot(thread->loop, &thinkTimer, thinkCallback, seconds, this);
}

// On a send schedule the pause is a failed connect's: that request has ended, and the
// connection goes on with the next slot.
void Connection::ThinkOver() {
  verboseLine(thread->verbose, "Think time over");
  if (paced) {
    ScheduleNext();
  } else {
    SendRequest();
  }
}

int64_t Connection::ExpireRequest(int64_t now, int64_t timeout) {
  if (state != ConnectionState::WRITING && state != ConnectionState::READING) return INT64_MAX;
  const int64_t deadline = TimedFrom() + timeout;
  if (now < deadline) return deadline;
  StopIo();
  if (CountError(ErrorKind::TIMEOUT)) {
    char reason[64];
    std::snprintf(reason, sizeof reason, "no complete response within %g seconds",
                  secondsFromNanos(timeout));
    ShowError(reason);
  }
  // No shutdown: the peer has stopped answering, and waiting for it is what timed out.
  socket.reset();
  needsConnect = true;
  CloseDone();
  return state == ConnectionState::WRITING || state == ConnectionState::READING
             ? TimedFrom() + timeout
             : INT64_MAX;
}

}  // namespace kelv
