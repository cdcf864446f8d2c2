#include "mon/mon_server_connection.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "lib/hoststats/proc_files.h"
#include "lib/util/line_buffer.h"
#include "lib/util/strings.h"

namespace kelv {
namespace {

constexpr std::string_view HELLO_REPLY = "Hi!\n";
constexpr std::string_view BYE_REPLY = "BYE\n";
constexpr std::string_view INVALID_REPLY = "Invalid command\n";
constexpr std::string_view NO_PROCESS_REPLY = "none\n";
constexpr std::string_view PROCESS_COMMAND = "PROC";

// One blocking read; a stop and continue of the process must not end the connection.
long readSome(LineBuffer& lines, int fd) {
  long got;
  do {
    got = lines.ReadFd(fd);
  } while (got < 0 && errno == EINTR);
  return got;
}

[[gnu::format(printf, 2, 3)]] std::string_view formatReply(FractionText& text, const char* format,
                                                           ...) {
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(text.data(), text.size(), format, arguments);
  va_end(arguments);
  if (length < 0 || static_cast<size_t>(length) >= text.size()) return {};
  return std::string_view(text.data(), static_cast<size_t>(length));
}

}  // namespace

std::string_view formatFraction(double value, FractionText& text) {
  return formatReply(text, "%.2f\n", value);
}

std::string_view formatHostReply(const HostBusy& busy, FractionText& text) {
  return formatReply(text, "%.2f %.2f\n", busy.all, busy.busiest);
}

std::string_view formatProcessReply(const std::optional<ProcessFigures>& figures,
                                    FractionText& text) {
  if (!figures) return NO_PROCESS_REPLY;
  return formatReply(text, "%.2f %.2f\n", figures->busy, figures->residentMiB);
}

std::string_view formatNetReply(const NetRates& rates, FractionText& text) {
  return formatReply(text, "%lld %lld\n", static_cast<long long>(rates.receivedPerSecond),
                     static_cast<long long>(rates.sentPerSecond));
}

std::optional<std::string_view> processArgument(std::string_view line) {
  const size_t word = PROCESS_COMMAND.size();
  if (line.size() <= word + 1 || line[word] != ' ') return std::nullopt;
  if (!equalsIgnoreCase(line.substr(0, word), PROCESS_COMMAND)) return std::nullopt;
  return line.substr(word + 1);
}

MonClientState::MonClientState(const ProcFiles& files) : host(files) { cpuSampleStart(usage); }

void MonServerConnection::SocketLoop() {
  MonClientState state(files);
  LineBuffer lines(MON_LINE_BUFFER_SIZE);
  // A CR LF that TCP splits between two reads is still one line end, not an extra empty
  // command that would shift every later reply by one.
  lines.SetJoinSplitLineEnds(true);
  while (readSome(lines, fd.Get()) > 0) {
    if (AnswerLines(lines, state)) break;
    // An unfinished line that fills the whole buffer can never end.
    if (!lines.Compact()) break;
  }
  fd.Reset();
}

// True once a command asked to close; the lines after it are not answered.
bool MonServerConnection::AnswerLines(LineBuffer& lines, MonClientState& state) {
  while (lines.NextLine()) {
    if (ProcessCommand(lines.Line(), state)) return true;
  }
  return false;
}

bool MonServerConnection::ProcessCommand(std::string_view line, MonClientState& state) {
  FractionText text;
  if (equalsIgnoreCase(line, "HELLO")) {
    Reply(HELLO_REPLY);
  } else if (equalsIgnoreCase(line, "CPU")) {
    Reply(formatFraction(cpuSampleBusy(state.usage), text));
  } else if (equalsIgnoreCase(line, "MEM")) {
    Reply(formatFraction(memoryUseFraction(), text));
  } else if (equalsIgnoreCase(line, "BYE") || equalsIgnoreCase(line, "QUIT")) {
    Reply(BYE_REPLY);
    return true;
  } else if (equalsIgnoreCase(line, "HOST")) {
    Reply(formatHostReply(state.host.Host(), text));
  } else if (equalsIgnoreCase(line, "NET")) {
    Reply(formatNetReply(state.host.Net(), text));
  } else if (const auto argument = processArgument(line)) {
    Reply(formatProcessReply(state.host.Process(*argument), text));
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
