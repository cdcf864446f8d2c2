// The line buffer fed through a pipe in pieces of varying size, as sockets and files feed it,
// with both line-end rules, with and without joined split line ends, tokens and compaction.
// What it delivers must match the lines and tokens of the whole text found the slow way.
//
// Input: a flags byte, a capacity byte, a piece-size seed byte, then the text.

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/reference_lines.h"
#include "lib/util/line_buffer.h"
#include "lib/util/unique_fd.h"

namespace kelv {
namespace {

constexpr std::array<std::string_view, 4> SEPARATOR_SETS = {" ", " \t", ",=", "&"};

struct Setup {
  bool httpMode;
  bool joinSplitLineEnds;
  bool skipSeparators;
  std::string_view separators;
  int capacity;
  uint32_t pieceSeed;
};

struct Delivered {
  std::string line;
  std::vector<std::string> tokens;
};

Setup setupOf(const uint8_t* data) {
  return Setup{(data[0] & 1) != 0,
               (data[0] & 2) != 0,
               (data[0] & 4) != 0,
               SEPARATOR_SETS[(data[0] >> 3) % SEPARATOR_SETS.size()],
               1 + data[1],
               data[2]};
}

// Pieces from 1 to twice the capacity, so that some fit the free space and some do not.
size_t nextPieceSize(uint32_t& state, int capacity) {
  state = state * 1103515245u + 12345u;
  return 1 + (state >> 8) % static_cast<uint32_t>(2 * capacity);
}

void stripTrailingEmpty(std::vector<std::string>& tokens) {
  while (!tokens.empty() && tokens.back().empty()) tokens.pop_back();
}

std::vector<std::string> tokensOf(LineBuffer& lines, const Setup& setup) {
  std::vector<std::string> tokens;
  // Every call moves past at least one byte until the line is used up, and a whole line
  // fits the buffer.
  for (int i = 0; i < setup.capacity + 2; ++i) {
    if (setup.skipSeparators) lines.SkipSeparators(setup.separators);
    tokens.emplace_back(lines.NextToken(setup.separators));
  }
  stripTrailingEmpty(tokens);
  return tokens;
}

// Feeds the text through a pipe and collects each line with its tokens; false when the buffer
// overflowed.
bool deliver(std::string_view text, const Setup& setup, std::vector<Delivered>& out) {
  int ends[2];
  fuzzExpect(pipe2(ends, O_NONBLOCK | O_CLOEXEC) == 0, "a pipe can be made");
  UniqueFd readEnd(ends[0]);
  UniqueFd writeEnd(ends[1]);
  LineBuffer lines(setup.capacity);
  lines.SetHttpMode(setup.httpMode);
  lines.SetJoinSplitLineEnds(setup.joinSplitLineEnds);
  uint32_t state = setup.pieceSeed;
  size_t fed = 0;
  size_t inPipe = 0;
  for (;;) {
    if (inPipe == 0) {
      if (fed == text.size()) return true;
      const size_t piece = std::min(nextPieceSize(state, setup.capacity), text.size() - fed);
      fuzzExpect(write(writeEnd.Get(), text.data() + fed, piece) == static_cast<ssize_t>(piece),
                 "a small piece fits the pipe");
      fed += piece;
      inPipe += piece;
    }
    const long got = lines.ReadFd(readEnd.Get());
    fuzzExpect(got > 0, "a read with free space and waiting data gets bytes");
    inPipe -= static_cast<size_t>(got);
    while (lines.NextLine()) {
      const std::string_view line = lines.Line();
      fuzzExpect(line.find_first_of("\r\n") == std::string_view::npos, "no line end in a line");
      out.push_back({std::string(line), tokensOf(lines, setup)});
    }
    if (!lines.Compact()) return false;
  }
}

// Without joined line ends a split one may add an empty line; those are left out of the
// comparison then.
bool isBlank(const Delivered& d) { return d.line.empty() && d.tokens.empty(); }

std::vector<Delivered> expectedLines(const ReferenceLines& reference, const Setup& setup) {
  std::vector<Delivered> expected;
  for (const std::string& raw : reference.lines) {
    std::vector<std::string> tokens = referenceTokens(raw, setup.separators, setup.skipSeparators);
    stripTrailingEmpty(tokens);
    expected.push_back({std::string(cutAtNul(raw)), tokens});
  }
  return expected;
}

void dropBlank(std::vector<Delivered>& lines) { std::erase_if(lines, isBlank); }

bool sameLines(const std::vector<Delivered>& a, const std::vector<Delivered>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].line != b[i].line || a[i].tokens != b[i].tokens) return false;
  }
  return true;
}

}  // namespace
}  // namespace kelv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelv;
  if (size < 3) return 0;
  const Setup setup = setupOf(data);
  const std::string_view text(reinterpret_cast<const char*>(data) + 3, size - 3);
  std::vector<Delivered> delivered;
  const bool fitted = deliver(text, setup, delivered);
  const ReferenceLines reference =
      referenceLines(text, setup.httpMode, static_cast<size_t>(setup.capacity));
  std::vector<Delivered> expected = expectedLines(reference, setup);
  fuzzExpect(fitted == !reference.overflow, "the buffer overflows exactly on a too long line");
  if (!setup.joinSplitLineEnds) {
    dropBlank(delivered);
    dropBlank(expected);
  }
  fuzzExpect(sameLines(delivered, expected), "lines and tokens as in the whole text");
  return 0;
}
