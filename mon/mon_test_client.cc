#include "mon/mon_test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

namespace kelv {
namespace {

constexpr size_t READ_CHUNK = 4096;

void setTimeouts(int fd, int millis) {
  timeval limit = {millis / 1000, (millis % 1000) * 1000};
  // Both bound a blocking call; on Linux the send timeout also bounds connect.
  static_cast<void>(::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit));
  static_cast<void>(::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit));
}

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

sockaddr_in ipv4Loopback(int port) {
  sockaddr_in peer = {};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return peer;
}

}  // namespace

bool isFigureReply(std::string_view reply) {
  if (reply.size() < 5 || reply.back() != '\n') return false;
  if (reply.front() == '-') reply.remove_prefix(1);
  reply.remove_suffix(1);
  const size_t point = reply.find('.');
  return point != std::string_view::npos && point + 3 == reply.size() &&
         allDigits(reply.substr(0, point)) && allDigits(reply.substr(point + 1));
}

bool greetedAfterRetries(int port) {
  constexpr int TRIES = 200;
  for (int i = 0; i < TRIES; ++i) {
    MonTestClient client(port);
    const std::string reply = client.Ask("HELLO\n");
    if (reply == "Hi!\n") return true;
    if (reply != "Busy\n") return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

MonTestClient::MonTestClient(int port, int timeoutMillis)
    : MonTestClient(UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), port,
                    timeoutMillis) {}

MonTestClient::MonTestClient(UniqueFd socketFd, int port, int timeoutMillis) {
  const sockaddr_in peer = ipv4Loopback(port);
  Connect(std::move(socketFd), &peer, sizeof peer, timeoutMillis);
}

MonTestClient::MonTestClient(int port, Loopback family) {
  if (family == Loopback::V4) {
    const sockaddr_in peer = ipv4Loopback(port);
    Connect(UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), &peer, sizeof peer,
            DEFAULT_TIMEOUT_MILLIS);
    return;
  }
  sockaddr_in6 peer = {};
  peer.sin6_family = AF_INET6;
  peer.sin6_port = htons(static_cast<uint16_t>(port));
  peer.sin6_addr = in6addr_loopback;
  Connect(UniqueFd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0)), &peer, sizeof peer,
          DEFAULT_TIMEOUT_MILLIS);
}

void MonTestClient::Connect(UniqueFd socketFd, const void* peer, size_t peerLength,
                            int timeoutMillis) {
  if (!socketFd.Valid()) {
    connectError = EBADF;
    return;
  }
  setTimeouts(socketFd.Get(), timeoutMillis);
  if (::connect(socketFd.Get(), static_cast<const sockaddr*>(peer),
                static_cast<socklen_t>(peerLength)) != 0) {
    connectError = errno;
    return;
  }
  fd = std::move(socketFd);
}

void MonTestClient::SetTimeout(int millis) { setTimeouts(fd.Get(), millis); }

bool MonTestClient::Send(std::string_view data) {
  while (!data.empty()) {
    const ssize_t sent = ::send(fd.Get(), data.data(), data.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

long MonTestClient::ReadMore() {
  char chunk[READ_CHUNK];
  ssize_t got;
  do {
    got = ::recv(fd.Get(), chunk, sizeof chunk, 0);
  } while (got < 0 && errno == EINTR);
  if (got > 0) pending.append(chunk, static_cast<size_t>(got));
  return static_cast<long>(got);
}

std::string MonTestClient::ReadReplies(int count) {
  size_t end = 0;
  for (int found = 0; found < count;) {
    const size_t lineEnd = pending.find('\n', end);
    if (lineEnd != std::string::npos) {
      end = lineEnd + 1;
      ++found;
    } else if (ReadMore() <= 0) {
      end = pending.size();
      break;
    }
  }
  std::string replies = pending.substr(0, end);
  pending.erase(0, end);
  return replies;
}

std::string MonTestClient::ReadUntilClosed(bool* closed) {
  long got;
  while ((got = ReadMore()) > 0) {
  }
  *closed = got == 0 || errno == ECONNRESET;
  return std::exchange(pending, std::string());
}

std::string MonTestClient::Ask(std::string_view command) {
  if (!Send(command)) return "(send failed)";
  return ReadReplies(1);
}

void MonTestClient::Abort() {
  linger reset = {1, 0};
  static_cast<void>(::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset));
  fd.Reset();
}

}  // namespace kelv
