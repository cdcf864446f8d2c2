#include "mon/mon_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <utility>

#include "lib/hoststats/host_stats.h"
#include "lib/util/check.h"
#include "mon/mon_server_connection.h"

namespace kelv {
namespace {

// A flood of connections arrives in bursts; a queue of a few places would drop most of each
// burst, and every dropped client, a proper one among them, would wait out the growing pauses
// of its connect retries. With room for the burst, kelvmon turns the excess away at once.
constexpr int LISTEN_BACKLOG = SOMAXCONN;
// How long accepting pauses while the process has no descriptor to spare.
constexpr double ACCEPT_RETRY_DELAY = 0.1;
// What a turned-away client may have sent already, at most, is read before closing it.
constexpr size_t MON_DISCARD_BYTES = 512;
constexpr int MON_DISCARD_READS = 4;

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

// Tells a client beyond the limit so, without waiting for it. What it sent already is read
// first: closing with unread data would reset the connection and could lose the reply.
void turnAway(UniqueFd client) {
  const std::string_view busy = MON_BUSY_REPLY;
  static_cast<void>(::send(client.Get(), busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT));
  static_cast<void>(::shutdown(client.Get(), SHUT_WR));
  char discard[MON_DISCARD_BYTES];
  for (int i = 0; i < MON_DISCARD_READS; ++i) {
    if (::recv(client.Get(), discard, sizeof discard, MSG_DONTWAIT) <= 0) break;
  }
}

bool parseIpv6(std::string text, int port, ListenAddress& listen) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&listen.address);
  if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) != 1) return false;
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(static_cast<uint16_t>(port));
  listen.length = sizeof(sockaddr_in6);
  return true;
}

// The port of a bound socket of either family.
int portOf(const sockaddr_storage& local) {
  if (local.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
}

}  // namespace

int monPortFromText(const char* text) {
  // strtol reads what atoi reads, but saturates where atoi would overflow.
  const long value = std::strtol(text, nullptr, 10);
  return static_cast<uint16_t>(value);
}

bool parseListenAddress(const std::string& text, int port, ListenAddress& listen) {
  listen = ListenAddress{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&listen.address);
  if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    listen.length = sizeof(sockaddr_in);
    return true;
  }
  return parseIpv6(text, port, listen);
}

MonServer::~MonServer() { Stop(); }

int MonServer::Start(const std::string& address, int port, int maxClients) {
  if (cpuSamplingCheck() != 0) {
    std::fputs("CPU monitoring not available on this platform\n", stderr);
    return MON_START_NO_CPU_SAMPLING;
  }
  ListenAddress local;
  if (!parseListenAddress(address, port, local)) {
    std::fprintf(stderr, "Can't use address: %s\n", address.c_str());
    return MON_START_BAD_ADDRESS;
  }
  clients = std::make_shared<ClientLimit>(maxClients);
  loop.reset(ev_loop_new(0));
  if (!loop) return FailStart("Can't create event loop: ", MON_START_LOOP_FAILED);
  const int opened = OpenListener(local);
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

int MonServer::OpenListener(const ListenAddress& local) {
  listenFd.Reset(::socket(local.address.ss_family, SOCK_STREAM, 0));
  if (!listenFd.Valid()) return FailStart("Can't create socket: ", MON_START_SOCKET_FAILED);
  if (::fcntl(listenFd.Get(), F_SETFL, O_NONBLOCK) != 0) {
    return FailStart("Can't set socket mode: ", MON_START_MODE_FAILED);
  }
  if (::bind(listenFd.Get(), reinterpret_cast<const sockaddr*>(&local.address), local.length) !=
      0) {
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
  sockaddr_storage local = {};
  socklen_t length = sizeof local;
  if (::getsockname(listenFd.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
  return portOf(local);
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
  if (!clients->TryTake()) {
    turnAway(UniqueFd(fd));
    return;
  }
  ClientSlot slot(clients);
  const int flags = ::fcntl(fd, F_GETFL);
  CHECK_OR_ABORT(flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0, "kelv_mon");
  StartConnection(fd, std::move(slot));
}

void MonServer::PauseAccepting() {
  ev_io_stop(loop.get(), &acceptWatcher);
  ev_timer_set(&acceptRetryTimer, ACCEPT_RETRY_DELAY, 0.0);
  ev_timer_start(loop.get(), &acceptRetryTimer);
}

void MonServer::OnAcceptRetry() { ev_io_start(loop.get(), &acceptWatcher); }

// Each client gets a detached thread that owns its connection. When no thread can be
// started, that one client is closed (by the connection's destructor) and the rest go on.
void MonServer::StartConnection(int fd, ClientSlot slot) {
  auto connection = std::make_unique<MonServerConnection>(fd, std::move(slot));
  try {
    std::thread(runConnection, std::move(connection)).detach();
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "Can't start connection thread: %d\n", error.code().value());
  }
}

}  // namespace kelv
