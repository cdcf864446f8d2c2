#include "mon/mon_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "lib/hoststats/host_stats.h"
#include "lib/util/check.h"
#include "mon/mon_server_connection.h"

namespace kelv {
namespace {

constexpr int LISTEN_BACKLOG = 8;
// How long accepting pauses while the process has no descriptor to spare.
constexpr double ACCEPT_RETRY_DELAY = 0.1;

void acceptCallback(struct ev_loop*, ev_io* watcher, int) {
  static_cast<MonServer*>(watcher->data)->OnAcceptReady();
}

void stopCallback(struct ev_loop*, ev_async* watcher, int) {
  static_cast<MonServer*>(watcher->data)->OnStopRequested();
}

void acceptRetryCallback(struct ev_loop*, ev_timer* watcher, int) {
  static_cast<MonServer*>(watcher->data)->OnAcceptRetry();
}

// Failures that last until some descriptor or memory is released.
bool outOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void runConnection(std::unique_ptr<MonServerConnection> connection) { connection->SocketLoop(); }

}  // namespace

int monPortFromText(const char* text) {
  // strtol reads what atoi reads, but saturates where atoi would overflow.
  const long value = std::strtol(text, nullptr, 10);
  return static_cast<uint16_t>(value);
}

MonServer::~MonServer() { Stop(); }

int MonServer::Start(const std::string& address, int port) {
  if (cpuSamplingCheck() != 0) {
    std::fputs("CPU monitoring not available on this platform\n", stderr);
    return MON_START_NO_CPU_SAMPLING;
  }
  loop.reset(ev_loop_new(0));
  if (!loop) return FailStart("Can't create event loop: ", MON_START_LOOP_FAILED);
  const int opened = OpenListener(address, port);
  if (opened != MON_START_OK) return opened;
  StartWatchers();
  try {
    loopThread = std::make_unique<std::thread>([this] { ev_run(loop.get(), 0); });
  } catch (const std::system_error& error) {
    errno = error.code().value();
    return FailStart("Can't start monitoring thread: ", MON_START_LOOP_FAILED);
  }
  return MON_START_OK;
}

int MonServer::OpenListener(const std::string& address, int port) {
  listenFd.Reset(::socket(AF_INET, SOCK_STREAM, 0));
  if (!listenFd.Valid()) return FailStart("Can't create socket: ", MON_START_SOCKET_FAILED);
  if (::fcntl(listenFd.Get(), F_SETFL, O_NONBLOCK) != 0) {
    return FailStart("Can't set socket mode: ", MON_START_MODE_FAILED);
  }
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(port));
  local.sin_addr.s_addr = ::inet_addr(address.c_str());
  if (::bind(listenFd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    return FailStart("Can't bind to port: ", MON_START_BIND_FAILED);
  }
  if (::listen(listenFd.Get(), LISTEN_BACKLOG) != 0) {
    return FailStart("Can't listen on socket: ", MON_START_LISTEN_FAILED);
  }
  return MON_START_OK;
}

// Reports errno (read first, before anything can change it) and closes the listener.
int MonServer::FailStart(const char* message, int code) {
  const int error = errno;
  listenFd.Reset();
  std::fprintf(stderr, "%s%d\n", message, error);
  return code;
}

void MonServer::StartWatchers() {
  ev_async_init(&stopWatcher, stopCallback);
  stopWatcher.data = this;
  ev_async_start(loop.get(), &stopWatcher);
  ev_io_init(&acceptWatcher, acceptCallback, listenFd.Get(), EV_READ);
  acceptWatcher.data = this;
  ev_io_start(loop.get(), &acceptWatcher);
  ev_init(&acceptRetryTimer, acceptRetryCallback);
  acceptRetryTimer.data = this;
}

int MonServer::Port() const {
  sockaddr_in local = {};
  socklen_t length = sizeof local;
  if (::getsockname(listenFd.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
  return ntohs(local.sin_port);
}

void MonServer::Join() {
  if (loopThread && loopThread->joinable()) loopThread->join();
}

void MonServer::Stop() {
  if (loopThread && loopThread->joinable()) {
    ev_async_send(loop.get(), &stopWatcher);
    loopThread->join();
  }
  listenFd.Reset();
}

// With no active watcher left the loop returns at the end of this iteration.
void MonServer::OnStopRequested() {
  ev_io_stop(loop.get(), &acceptWatcher);
  ev_timer_stop(loop.get(), &acceptRetryTimer);
  ev_async_stop(loop.get(), &stopWatcher);
}

void MonServer::OnAcceptReady() {
  const int fd = ::accept(listenFd.Get(), nullptr, nullptr);
  if (fd < 0) {
    const int error = errno;
    std::fprintf(stderr, "Error accepting socket: %d\n", error);
    // The pending client stays queued; retrying at once would only spin on the same error.
    if (outOfResources(error)) PauseAccepting();
    return;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  CHECK_OR_ABORT(flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0, "kelv_mon");
  StartConnection(fd);
}

void MonServer::PauseAccepting() {
  ev_io_stop(loop.get(), &acceptWatcher);
  ev_timer_set(&acceptRetryTimer, ACCEPT_RETRY_DELAY, 0.0);
  ev_timer_start(loop.get(), &acceptRetryTimer);
}

void MonServer::OnAcceptRetry() { ev_io_start(loop.get(), &acceptWatcher); }

// Each client gets a detached thread that owns its connection. When no thread can be
// started, that one client is closed (by the connection's destructor) and the rest go on.
void MonServer::StartConnection(int fd) {
  auto connection = std::make_unique<MonServerConnection>(fd);
  try {
    std::thread(runConnection, std::move(connection)).detach();
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "Can't start connection thread: %d\n", error.code().value());
  }
}

}  // namespace kelv
