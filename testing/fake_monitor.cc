#include "testing/fake_monitor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

namespace kelv {
namespace {

constexpr int POLL_MILLIS = 20;
constexpr auto MAX_LIFETIME = std::chrono::seconds(60);

UniqueFd listenOn(uint16_t requestedPort, uint16_t& port, int& error) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(requestedPort);
  const int on = 1;
  socklen_t length = sizeof address;
  if (!fd.Valid() || ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.Get(), 4) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = errno;
    return UniqueFd();
  }
  port = ntohs(address.sin_port);
  return fd;
}

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, POLL_MILLIS) > 0;
}

}  // namespace

FakeMonitor::FakeMonitor(uint16_t requestedPort, std::string replyText)
    : reply(std::move(replyText)) {
  listener = listenOn(requestedPort, port, listenError);
  if (listener.Valid()) server = std::thread([this] { Serve(); });
}

FakeMonitor::~FakeMonitor() {
  stopping.store(true);
  if (server.joinable()) server.join();
}

std::string FakeMonitor::HostAndPort() const { return "127.0.0.1:" + std::to_string(port); }

std::string FakeMonitor::Received() const {
  std::lock_guard<std::mutex> lock(receivedLock);
  return received;
}

void FakeMonitor::Serve() {
  const auto deadline = std::chrono::steady_clock::now() + MAX_LIFETIME;
  while (!stopping.load() && std::chrono::steady_clock::now() < deadline) {
    if (!readable(listener.Get())) continue;
    UniqueFd connection(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.Valid()) continue;
    accepted.fetch_add(1);
    ServeConnection(std::move(connection));
  }
}

void FakeMonitor::ServeConnection(UniqueFd connection) {
  std::string pending;
  int answered = 0;
  while (!stopping.load()) {
    if (!readable(connection.Get())) continue;
    char buffer[256];
    const ssize_t n = ::read(connection.Get(), buffer, sizeof buffer);
    if (n <= 0) return;
    pending.append(buffer, static_cast<size_t>(n));
    if (!AnswerLines(connection.Get(), pending, answered)) return;
  }
}

void FakeMonitor::ReplyTo(const std::string& command, std::string replyText) {
  std::lock_guard<std::mutex> lock(receivedLock);
  commandReplies[command] = std::move(replyText);
}

// Records the line and gives its reply.
std::string FakeMonitor::ReplyFor(const std::string& line) {
  std::lock_guard<std::mutex> lock(receivedLock);
  received += line + "\n";
  const auto own = commandReplies.find(line);
  return own == commandReplies.end() ? reply : own->second;
}

bool FakeMonitor::AnswerLines(int fd, std::string& pending, int& answered) {
  for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
    const std::string answer = ReplyFor(pending.substr(0, end));
    pending.erase(0, end + 1);
    if (::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) return false;
    ++answered;
    if (answered == closeAfter.load()) return false;
  }
  return true;
}

}  // namespace kelv
