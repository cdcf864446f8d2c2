#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "lib/hoststats/host_observer.h"
#include "lib/hoststats/host_stats.h"
#include "lib/hoststats/proc_files.h"
#include "lib/util/unique_fd.h"
#include "mon/client_limit.h"

namespace kelv {

class LineBuffer;

// Bytes of one client's command buffer: a longer line closes the connection.
constexpr int MON_LINE_BUFFER_SIZE = 128;
// Room for any reply: two doubles in fixed notation with two decimals, a blank, the line end.
constexpr size_t FRACTION_TEXT_SIZE = 640;

using FractionText = std::array<char, FRACTION_TEXT_SIZE>;

// A figure as it goes on the wire: fixed notation, two decimals, then "\n" (0.256 is "0.26\n").
std::string_view formatFraction(double value, FractionText& text);
// The replies of HOST, PROC and NET: two figures and a blank between them, or "none".
std::string_view formatHostReply(const HostBusy& busy, FractionText& text);
std::string_view formatProcessReply(const std::optional<ProcessFigures>& figures,
                                    FractionText& text);
std::string_view formatNetReply(const NetRates& rates, FractionText& text);
// The argument of a "PROC NAME-OR-PID" line (the word in any letter case, one blank, then
// everything to the end of the line); nothing for any other line.
std::optional<std::string_view> processArgument(std::string_view line);

// What one client's figures are measured from: each command's previous sample on this
// connection, or the moment the connection was accepted.
struct MonClientState {
  explicit MonClientState(const ProcFiles& files);

  CpuSample usage;
  HostObserver host;
};

// One accepted monitor client, served with blocking I/O on a thread of its own. It owns the
// socket, closes it when it is destroyed, and then gives its place among the clients up.
class MonServerConnection {
 public:
  // The host figures come from the files given (the real /proc unless a test says otherwise).
  explicit MonServerConnection(int socketFd, ClientSlot clientSlot = ClientSlot(),
                               const ProcFiles& procFiles = hostProcFiles())
      : slot(std::move(clientSlot)), fd(socketFd), files(procFiles) {}

  // Answers the client's commands until it leaves, says BYE or QUIT, a read fails or a line
  // overflows the buffer; then closes the socket.
  void SocketLoop();
  // Answers one command line (any letter case) with one write; true when the connection is to
  // be closed. Figures are measured from the client's previous samples in state.
  bool ProcessCommand(std::string_view line, MonClientState& state);

 private:
  bool AnswerLines(LineBuffer& lines, MonClientState& state);
  void Reply(std::string_view text) const;

  // Declared first so that it is released last, after the socket is closed.
  ClientSlot slot;
  UniqueFd fd;
  const ProcFiles& files;
};

}  // namespace kelv
