// The connection state machine. Request composition is in connection_request.cc, reading
// and parsing the response in connection_response.cc.
//
//   state         event                                   next state
//   new           Start                                   connect wait | writing
//   connect wait  think timer (CONNECT_RETRY_DELAY)       connect wait | writing
//   writing       all bytes written                       reading
//   writing       write fails                             closing | (reconnect) writing
//   reading       response complete, socket kept          writing | thinking
//   reading       response complete, socket not kept      closing
//   reading       read / parse fails, stream ends early   closing
//   thinking      think timer                             writing | connect wait
//   closing       close completes or fails                writing | thinking | done
//   done          -                                       (until destroyed)
//
// "closing" is left at once when the socket closes without waiting (always for plain TCP);
// a TLS shutdown may wait for readability or writability first.

#include "lib/engine/connection.h"

#include <cstdio>

#include "lib/engine/io_thread.h"
#include "lib/engine/watchers.h"
#include "lib/reporting/request_counters.h"
#include "lib/targets/target_url.h"
#include "lib/transport/address_list.h"
#include "lib/transport/tls_socket.h"
#include "lib/util/clock.h"
#include "lib/util/verbose.h"

namespace kelv {
namespace {

void writeCallback(struct ev_loop*, ev_io* watcher, int events) {
  auto* connection = static_cast<Connection*>(watcher->data);
  while (connection->WriteReady(events) > 0) {
  }
}

void readCallback(struct ev_loop*, ev_io* watcher, int events) {
  auto* connection = static_cast<Connection*>(watcher->data);
  while (connection->ReadReady(events) > 0) {
  }
}

void closeCallback(struct ev_loop*, ev_io* watcher, int events) {
  static_cast<Connection*>(watcher->data)->CloseReady(events);
}

void thinkCallback(struct ev_loop*, ev_timer* timer, int) {
  static_cast<Connection*>(timer->data)->ThinkOver();
}

}  // namespace

Connection::Connection(int connIndex, IOThread* owner)
    : index(connIndex),
      thread(owner),
      headRequests(owner->method == "HEAD"),
      readBuf(READ_BUFFER_SIZE) {
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
  SendRequest();
}

void Connection::SendRequest() {
  startTime = timeNow();
  if (needsConnect) {
    int result = Connect();
    if (result != PHASE_OK) {
      std::fprintf(stderr, "Error opening TCP connection: %d\n", result);
      recordSocketError();
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
      return;
    }
    failedConnects = 0;
    recordConnectionOpened();
  }
  BuildRequest();
  StartWrite();
}

int Connection::Connect() {
  sockaddr_storage address = url->addresses.Choose(url->port, thread->index);
  if (address.ss_family == AF_UNSPEC) {
    verboseLine(thread->verbose, "No addresses to look up");
    return CONNECT_FAILED;
  }
  if (thread->verbose) {
    verbosef(true, "Connecting to %s. (TLS = %i)\n", AddressList::NumericName(address).c_str(),
             url->isSsl ? 1 : 0);
  }
  std::unique_ptr<Socket> fresh;
  Status status;
  if (url->isSsl) {
    auto tls = std::make_unique<TLSSocket>();
    status = tls->Connect(address, url->host, thread->sslCtx.get());
    fresh = std::move(tls);
  } else {
    fresh = std::make_unique<Socket>();
    status = fresh->Connect(address);
  }
  if (!status.ok()) {
    if (thread->verbose) verbosef(true, "Error on connect: %s\n", status.ToString().c_str());
    return CONNECT_FAILED;
  }
  socket = std::move(fresh);
  freshSocket = true;
  readLen = 0;  // bytes a parser left over belong to the stream that has gone
  return PHASE_OK;
}

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

int Connection::WriteReady(int events) {
  verbosef(thread->verbose, "I/O ready on write path: %i\n", events);
  size_t written = 0;
  IoResult result = socket->Write(sendBuf.data() + sendPos, sendBuf.size() - sendPos, &written);
  if (!result.status.ok() || result.ioStatus == IoStatus::END_OF_STREAM) {
    if (thread->verbose) verbosef(true, "Error on write: %s\n", result.status.ToString().c_str());
    StopIo();
    WriteDone(PHASE_WRITE_FAILED);
    return STEP_FAILED;
  }
  if (result.ioStatus != IoStatus::OK) {
    FollowDirection(result.ioStatus, EV_WRITE, "I/O would block on read while writing",
                    "I/O would block on writing", true);
    return STEP_WAIT;
  }
  verbosef(thread->verbose, "Successfully wrote %zu bytes\n", written);
  sendPos += written;
  thread->RecordWrite(written);
  if (sendPos == sendBuf.size()) {
    StopIo();
    WriteDone(PHASE_OK);
    return STEP_WAIT;
  }
  if (written == 0) {  // nothing moved: wait for writability rather than spin
    FollowDirection(IoStatus::NEED_WRITE, EV_WRITE, "I/O would block on read while writing",
                    "I/O would block on writing", true);
    return STEP_WAIT;
  }
  return STEP_AGAIN;
}

void Connection::WriteDone(int code) {
  if (code != PHASE_OK) {
    recordSocketError();
    verbosef(thread->verbose, "Error on write: %i\n", code);
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
  directionSwitched = false;
  ArmIo(readCallback, EV_READ);
}

void Connection::EndRequest(bool close) {
  if (!close && thread->noKeepAlive == 0 && thread->keepRunning != 0) {
    needsConnect = false;
    if (thread->thinkTime == 0) {
      SendRequest();
    } else {
      StartThink(thread->thinkTime / 1000.0);
    }
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
  } else if (result.ioStatus == IoStatus::NEED_READ) {
    verboseLine(thread->verbose, "Close needs read");
    directionSwitched = false;
    ArmIo(closeCallback, EV_READ);
  } else if (result.ioStatus == IoStatus::NEED_WRITE) {
    verboseLine(thread->verbose, "Close needs write");
    directionSwitched = true;
    ArmIo(closeCallback, EV_WRITE);
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

void Connection::FinishClose() {
  StopIo();
  socket.reset();
  CloseDone();
}

void Connection::CloseDone() {
  if (keepRunning && thread->keepRunning != 0) {
    if (thread->thinkTime == 0) {
      SendRequest();
    } else {
      StartThink(thread->thinkTime / 1000.0);
    }
    return;
  }
  verbosef(thread->verbose, "Connection %i closed and done\n", index);
  BecomeDone();
}

void Connection::BecomeDone() {
  done = true;
  thread->ConnectionFinished();
}

void Connection::StartThink(double seconds) {
  verbosef(thread->verbose, "Thinking for %.4lf seconds\n", seconds);
  startOneShot(thread->loop, &thinkTimer, thinkCallback, seconds, this);
}

void Connection::ThinkOver() {
  verboseLine(thread->verbose, "Think time over");
  SendRequest();
}

}  // namespace kelv
