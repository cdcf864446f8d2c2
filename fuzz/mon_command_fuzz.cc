// A monitor client's command stream, any bytes at all, served by MonServerConnection over a
// socket pair: once written whole and once in pieces that the server reads one by one.
// Both times the replies must be those the commands of the whole stream call for: one reply
// per line, in order, up to BYE or QUIT or a line too long for the buffer.
//
// Input: a piece-size seed byte, then the stream.

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/reference_lines.h"
#include "lib/hoststats/proc_files.h"
#include "lib/util/strings.h"
#include "lib/util/unique_fd.h"
#include "mon/mon_server_connection.h"

namespace kelv {
namespace {

constexpr size_t MAX_PIECE = 300;  // more than the server's buffer holds
constexpr auto TIME_LIMIT = std::chrono::seconds(10);
constexpr std::string_view FIGURE = "#\n";  // any CPU or MEM figure
// Any HOST, NET or PROC reply: two figures or whole numbers and a blank, or "none".
constexpr std::string_view PAIR = "##\n";

// Host figures from a directory that does not exist: every one is 0 or none, and reading
// them costs nothing, so that the fuzzer's time goes to the command stream.
const ProcFiles& noHostFiles() {
  static const ProcFiles files("/nonexistent/kelv-fuzz-proc", 100, 4096);
  return files;
}

// The server's side of one client, on a thread of its own, as the server runs it.
class ServedClient {
 public:
  explicit ServedClient(int serverFd)
      : thread([this, serverFd] {
          MonServerConnection(serverFd, ClientSlot(), noHostFiles()).SocketLoop();
          finished.store(true);
        }) {}
  ~ServedClient() { thread.join(); }
  bool Finished() const { return finished.load(); }

 private:
  std::atomic<bool> finished{false};
  std::thread thread;
};

std::vector<size_t> pieceSizes(uint8_t seed, size_t total, bool whole) {
  if (whole) return {total};
  std::vector<size_t> sizes;
  uint32_t state = seed;
  for (size_t left = total; left > 0;) {
    state = state * 1103515245u + 12345u;
    const size_t size = std::min<size_t>(1 + (state >> 8) % MAX_PIECE, left);
    sizes.push_back(size);
    left -= size;
  }
  return sizes;
}

class Client {
 public:
  explicit Client(int clientFd) : fd(clientFd), start(std::chrono::steady_clock::now()) {}

  void TakeReplies() {
    char buffer[4096];
    for (ssize_t got; (got = ::recv(fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
      replies.append(buffer, static_cast<size_t>(got));
    }
  }

  void WaitForReadable() {
    fuzzExpect(std::chrono::steady_clock::now() - start < TIME_LIMIT, "the server keeps up");
    pollfd entry{fd.Get(), POLLIN, 0};
    static_cast<void>(::poll(&entry, 1, 1));  // a timeout only means: look again
  }

  // Sends one piece and waits until the server has read all of it, or has stopped reading.
  bool SendPiece(std::string_view piece, const ServedClient& server) {
    if (::send(fd.Get(), piece.data(), piece.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(piece.size())) {
      return false;  // the server has closed its end
    }
    for (int unread = 1; unread > 0 && !server.Finished();) {
      TakeReplies();
      if (::ioctl(fd.Get(), SIOCOUTQ, &unread) != 0) unread = 0;
      if (unread > 0) WaitForReadable();
    }
    return !server.Finished();
  }

  void ReadToEnd() {
    static_cast<void>(::shutdown(fd.Get(), SHUT_WR));
    for (;;) {
      TakeReplies();
      char probe;
      const ssize_t got = ::recv(fd.Get(), &probe, 1, MSG_DONTWAIT | MSG_PEEK);
      if (got == 0 || (got < 0 && errno != EAGAIN)) return;
      if (got < 0) WaitForReadable();
    }
  }

  std::string replies;

 private:
  UniqueFd fd;
  std::chrono::steady_clock::time_point start;
};

std::string serve(std::string_view stream, const std::vector<size_t>& sizes) {
  int ends[2];
  fuzzExpect(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "a socket pair");
  Client client(ends[0]);
  {
    ServedClient server(ends[1]);
    size_t at = 0;
    for (size_t size : sizes) {
      if (!client.SendPiece(stream.substr(at, size), server)) break;
      at += size;
    }
    client.ReadToEnd();
  }
  return client.replies;
}

bool isWholeNumber(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool isFigure(std::string_view reply);

bool isPair(std::string_view reply) {
  if (reply == "none") return true;
  const size_t blank = reply.find(' ');
  if (blank == std::string_view::npos) return false;
  const std::string_view first = reply.substr(0, blank);
  const std::string_view second = reply.substr(blank + 1);
  return (isFigure(first) && isFigure(second)) || (isWholeNumber(first) && isWholeNumber(second));
}

bool isFigure(std::string_view reply) {
  const size_t dot = reply.find('.');
  if (dot == std::string_view::npos || dot == 0 || reply.size() != dot + 3) return false;
  for (size_t i = 0; i < reply.size(); ++i) {
    if (i != dot && (reply[i] < '0' || reply[i] > '9')) return false;
  }
  return true;
}

// The replies with every figure replaced by FIGURE.
std::string normalized(std::string_view replies) {
  std::string out;
  for (size_t start = 0; start < replies.size();) {
    const size_t end = replies.find('\n', start);
    fuzzExpect(end != std::string_view::npos, "every reply ends with LF");
    const std::string_view reply = replies.substr(start, end - start);
    out += isFigure(reply) ? std::string(FIGURE)
           : isPair(reply) ? std::string(PAIR)
                           : std::string(reply) + "\n";
    start = end + 1;
  }
  return out;
}

// "PROC", one blank and an argument, the word in any letter case.
bool isProcessCommand(std::string_view command) {
  return command.size() > 5 && command[4] == ' ' && equalsIgnoreCase(command.substr(0, 4), "PROC");
}

std::string expectedReplies(std::string_view stream) {
  std::string out;
  for (const std::string& raw : referenceLines(stream, false, MON_LINE_BUFFER_SIZE).lines) {
    const std::string_view command = cutAtNul(raw);
    if (equalsIgnoreCase(command, "HELLO")) {
      out += "Hi!\n";
    } else if (equalsIgnoreCase(command, "CPU") || equalsIgnoreCase(command, "MEM")) {
      out += FIGURE;
    } else if (equalsIgnoreCase(command, "BYE") || equalsIgnoreCase(command, "QUIT")) {
      return out + "BYE\n";
    } else if (equalsIgnoreCase(command, "HOST") || equalsIgnoreCase(command, "NET") ||
               isProcessCommand(command)) {
      out += PAIR;
    } else {
      out += "Invalid command\n";
    }
  }
  return out;
}

}  // namespace
}  // namespace kelv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelv;
  if (size < 1) return 0;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string expected = expectedReplies(stream);
  for (bool whole : {true, false}) {
    const std::string replies = serve(stream, pieceSizes(data[0], stream.size(), whole));
    fuzzExpect(normalized(replies) == expected,
               whole ? "replies to the whole stream" : "replies to the stream in pieces");
  }
  return 0;
}
