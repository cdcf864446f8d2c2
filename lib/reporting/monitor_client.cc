#include "lib/reporting/monitor_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"

namespace kelv {
namespace {

// Replies are a few bytes; one read of this size takes a whole one.
constexpr size_t REPLY_BUFFER_SIZE = 64;
// A monitor answers at once; one that has not answered after a progress tick's time never
// will, and waiting longer would stall the whole run. The same holds for its connect.
constexpr int REPLY_TIMEOUT_SECONDS = 5;

// One whole line, written with a single call so that it cannot interleave.
void errorLine(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stderr); }

void closeDescriptor(int& descriptor) {
  // Nothing is left to do with a monitor socket whose close fails.
  static_cast<void>(::close(descriptor));
  descriptor = -1;
}

// The installed abseil has its own string_view type.
absl::string_view asAbsl(std::string_view text) { return {text.data(), text.size()}; }

using AddrInfoPtr = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

// IPv4 stream addresses of `host`, or null after reporting the failure.
AddrInfoPtr lookUp(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    errorLine(absl::StrCat("Cannot look up remote monitoring host: ", rc, "\n"));
    return AddrInfoPtr(nullptr, freeaddrinfo);
  }
  return AddrInfoPtr(found, freeaddrinfo);
}

// Waits for an in-progress connect until the deadline; false with errno set when it failed
// or did not finish in time.
bool awaitConnect(int descriptor, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{descriptor, POLLOUT, 0};
    const int rc = ::poll(&ready, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return false;
    if (rc == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
    errno = error;
    return error == 0;
  }
}

// connect(2) that gives up after REPLY_TIMEOUT_SECONDS, leaving the socket blocking again
// for the queries; false with errno set.
bool connectWithin(int descriptor, const sockaddr* address, socklen_t length) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(REPLY_TIMEOUT_SECONDS);
  const int flags = ::fcntl(descriptor, F_GETFL);
  if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  if (::connect(descriptor, address, length) != 0 &&
      (errno != EINPROGRESS || !awaitConnect(descriptor, deadline))) {
    return false;
  }
  return ::fcntl(descriptor, F_SETFL, flags) == 0;
}

void connectTo(const addrinfo& address, const std::string& host, uint16_t port,
               int& descriptor) {
  descriptor = ::socket(address.ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int error = errno;
  if (descriptor >= 0) {
    reinterpret_cast<sockaddr_in*>(address.ai_addr)->sin_port = htons(port);
    if (connectWithin(descriptor, address.ai_addr, address.ai_addrlen)) {
      // A reply that does not come in time fails the query like a read error (EAGAIN).
      const timeval timeout{REPLY_TIMEOUT_SECONDS, 0};
      static_cast<void>(
          ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout));
      return;
    }
    error = errno;
    closeDescriptor(descriptor);
  }
  descriptor = -1;
  // A fixed text, with no closing quote after the host.
  errorLine(absl::StrCat("Connection error: ", error,
                         "\nCannot connect to remote monitoring host \"", host, " on port ", port,
                         "\n"));
}

// Sends one command and takes the reply with a single read into `reply`; the count received,
// or 0 or less after a failure, which has been reported and has closed the socket.
ssize_t exchange(std::string_view command, int& descriptor, char (&reply)[REPLY_BUFFER_SIZE]) {
  // A partial count leaves errno untouched; clearing it keeps the message from showing a
  // stale number. MSG_NOSIGNAL: a monitor that reset the connection must not end the run.
  errno = 0;
  const ssize_t written = ::send(descriptor, command.data(), command.size(), MSG_NOSIGNAL);
  const int writeError = errno;
  if (written != static_cast<ssize_t>(command.size())) {
    errorLine(absl::StrCat("Error writing to monitoring server: ", writeError, "\n"));
    closeDescriptor(descriptor);
    return -1;
  }
  errno = 0;  // a closed connection reads 0 without setting errno
  const ssize_t received = ::read(descriptor, reply, sizeof reply);
  const int readError = errno;
  if (received <= 0) {
    errorLine(absl::StrCat("Error reading from monitoring server: ", readError, "\n"));
    closeDescriptor(descriptor);
  }
  return received;
}

// The whole text is one decimal number: digits with at most one point, as kelvmon writes them.
bool wholeNumber(std::string_view text, double& value) {
  if (text.empty() || text.find_first_not_of("0123456789.-") != std::string_view::npos) {
    return false;
  }
  const std::string copy(text);
  char* end = nullptr;
  value = std::strtod(copy.c_str(), &end);
  return end == copy.c_str() + copy.size();
}

}  // namespace

void monitorConnect(std::string_view hostAndPort, int& descriptor) {
  descriptor = -1;
  const size_t colon = hostAndPort.find(':');
  if (colon == std::string_view::npos) {
    errorLine(absl::StrCat("Invalid monitor host \"", asAbsl(hostAndPort), "\"\n"));
    return;
  }
  int32_t port = 0;
  if (!absl::SimpleAtoi(asAbsl(hostAndPort.substr(colon + 1)), &port)) {
    errorLine(absl::StrCat("Invalid monitor host and port \"", asAbsl(hostAndPort), "\"\n"));
    return;
  }
  const std::string host(hostAndPort.substr(0, colon));
  const AddrInfoPtr addresses = lookUp(host);
  if (addresses) connectTo(*addresses, host, static_cast<uint16_t>(port), descriptor);
}

double monitorQuery(std::string_view command, int& descriptor) {
  char reply[REPLY_BUFFER_SIZE] = {};
  const ssize_t received = exchange(command, descriptor, reply);
  if (received <= 0) return 0.0;
  return parseMonitorReply(std::string_view(reply, static_cast<size_t>(received)));
}

MonitorPair monitorQueryPair(std::string_view command, int& descriptor) {
  char reply[REPLY_BUFFER_SIZE] = {};
  const ssize_t received = exchange(command, descriptor, reply);
  if (received <= 0) return MonitorPair{};
  return parseMonitorPair(std::string_view(reply, static_cast<size_t>(received)));
}

std::string monitorProcessCommand(std::string_view nameOrPid) {
  return absl::StrCat("proc ", asAbsl(nameOrPid), "\n");
}

MonitorPair parseMonitorPair(std::string_view reply) {
  if (reply == "none\n") return MonitorPair{MonitorAnswer::NOT_FOUND};
  MonitorPair pair{MonitorAnswer::UNKNOWN};
  const size_t blank = reply.find(' ');
  if (blank == std::string_view::npos || reply.empty() || reply.back() != '\n') return pair;
  const std::string_view second = reply.substr(blank + 1, reply.size() - blank - 2);
  if (!wholeNumber(reply.substr(0, blank), pair.first) || !wholeNumber(second, pair.second)) {
    return pair;
  }
  pair.answer = MonitorAnswer::FIGURES;
  return pair;
}

double parseMonitorReply(std::string_view reply) {
  // strtod needs a terminator; a copy bounds it to the bytes that came.
  const std::string text(reply);
  return std::strtod(text.c_str(), nullptr);
}

}  // namespace kelv
