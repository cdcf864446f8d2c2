#pragma once

#include <string>
#include <string_view>

#include "lib/util/unique_fd.h"

namespace kelv {

// True for one figure reply: an optional "-", digits, ".", two digits and "\n".
bool isFigureReply(std::string_view reply);

enum class Loopback { V4, V6 };

// A client that is told "Busy" tries again a little later: true once one is greeted, false
// when none is within a bounded number of tries.
bool greetedAfterRetries(int port);

// A blocking TCP client of the monitor protocol for tests: it talks to 127.0.0.1 (or ::1) only
// and every connect and read gives up after a bounded time.
class MonTestClient {
 public:
  static constexpr int DEFAULT_TIMEOUT_MILLIS = 5000;

  explicit MonTestClient(int port, int timeoutMillis = DEFAULT_TIMEOUT_MILLIS);
  MonTestClient(int port, Loopback family);
  // Connects a socket made beforehand (invalid: the connect error is EBADF).
  MonTestClient(UniqueFd socketFd, int port, int timeoutMillis = DEFAULT_TIMEOUT_MILLIS);

  bool Connected() const { return fd.Valid(); }
  // errno of a failed connect.
  int ConnectError() const { return connectError; }
  // Bounds each later read and send.
  void SetTimeout(int millis);
  bool Send(std::string_view data);
  // The next count replies (lines ending in "\n"), or what came before the peer closed or
  // the time ran out.
  std::string ReadReplies(int count);
  // Everything up to the end of the stream; closed tells whether the peer closed (or reset)
  // the connection before the time ran out.
  std::string ReadUntilClosed(bool* closed);
  // Sends the text and returns the one reply it gets.
  std::string Ask(std::string_view command);
  // Closes with a reset instead of an orderly end, dropping whatever is unread.
  void Abort();
  void Close() { fd.Reset(); }

 private:
  // One read into pending; the count, 0 at the end of the stream, -1 on error or timeout.
  long ReadMore();
  void Connect(UniqueFd socketFd, const void* peer, size_t peerLength, int timeoutMillis);

  UniqueFd fd;
  int connectError = 0;
  std::string pending;
};

}  // namespace kelv
