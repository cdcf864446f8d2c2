#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "lib/util/unique_fd.h"

namespace kelv {

struct CpuSample;
class LineBuffer;

// Bytes of one client's command buffer: a longer line closes the connection.
constexpr int MON_LINE_BUFFER_SIZE = 128;
// Room for any double in fixed notation with two decimals, and the line end.
constexpr size_t FRACTION_TEXT_SIZE = 320;

using FractionText = std::array<char, FRACTION_TEXT_SIZE>;

// A figure as it goes on the wire: fixed notation, two decimals, then "\n" (0.256 is "0.26\n").
std::string_view formatFraction(double value, FractionText& text);

// One accepted monitor client, served with blocking I/O on a thread of its own. It owns the
// socket and closes it when it is destroyed.
class MonServerConnection {
 public:
  explicit MonServerConnection(int socketFd) : fd(socketFd) {}

  // Answers the client's commands until it leaves, says BYE or QUIT, a read fails or a line
  // overflows the buffer; then closes the socket.
  void SocketLoop();
  // Answers one command line (any letter case) with one write; true when the connection is to
  // be closed. CPU figures are measured from the previous sample of usage.
  bool ProcessCommand(std::string_view line, CpuSample& usage);

 private:
  bool AnswerLines(LineBuffer& lines, CpuSample& usage);
  void Reply(std::string_view text) const;

  UniqueFd fd;
};

}  // namespace kelv
