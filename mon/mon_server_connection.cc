#include "mon/mon_server_connection.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "lib/hoststats/host_stats.h"
#include "lib/util/line_buffer.h"
#include "lib/util/strings.h"

namespace kelv {
namespace {

constexpr std::string_view HELLO_REPLY = "Hi!\n";
constexpr std::string_view BYE_REPLY = "BYE\n";
constexpr std::string_view INVALID_REPLY = "Invalid command\n";

// One blocking read; a stop and continue of the process must not end the connection.
long readSome(LineBuffer& lines, int fd) {
  long got;
  do {
    got = lines.ReadFd(fd);
  } while (got < 0 && errno == EINTR);
  return got;
}

}  // namespace

std::string_view formatFraction(double value, FractionText& text) {
  const int length = std::snprintf(text.data(), text.size(), "%.2f\n", value);
  if (length < 0) return {};
  return std::string_view(text.data(), static_cast<size_t>(length));
}

void MonServerConnection::SocketLoop() {
  CpuSample usage;
  cpuSampleStart(usage);
  LineBuffer lines(MON_LINE_BUFFER_SIZE);
  // A CR LF that TCP splits between two reads is still one line end, not an extra empty
  // command that would shift every later reply by one.
  lines.SetJoinSplitLineEnds(true);
  while (readSome(lines, fd.Get()) > 0) {
    if (AnswerLines(lines, usage)) break;
    // An unfinished line that fills the whole buffer can never end.
    if (!lines.Compact()) break;
  }
  fd.Reset();
}

// True once a command asked to close; the lines after it are not answered.
bool MonServerConnection::AnswerLines(LineBuffer& lines, CpuSample& usage) {
  while (lines.NextLine()) {
    if (ProcessCommand(lines.Line(), usage)) return true;
  }
  return false;
}

bool MonServerConnection::ProcessCommand(std::string_view line, CpuSample& usage) {
  FractionText text;
  if (equalsIgnoreCase(line, "HELLO")) {
    Reply(HELLO_REPLY);
  } else if (equalsIgnoreCase(line, "CPU")) {
    Reply(formatFraction(cpuSampleBusy(usage), text));
  } else if (equalsIgnoreCase(line, "MEM")) {
    Reply(formatFraction(memoryUseFraction(), text));
  } else if (equalsIgnoreCase(line, "BYE") || equalsIgnoreCase(line, "QUIT")) {
    Reply(BYE_REPLY);
    return true;
  } else {
    Reply(INVALID_REPLY);
  }
  return false;
}

// One send per reply. MSG_NOSIGNAL: a client that has gone away must not take the server down
// with SIGPIPE; the failure itself shows up as the next read ending the connection.
void MonServerConnection::Reply(std::string_view text) const {
  static_cast<void>(::send(fd.Get(), text.data(), text.size(), MSG_NOSIGNAL));
}

}  // namespace kelv
