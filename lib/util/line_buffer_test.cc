#include "lib/util/line_buffer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

namespace kelv {
namespace {

std::vector<std::string> allLines(LineBuffer& buffer) {
  std::vector<std::string> lines;
  while (buffer.NextLine()) lines.emplace_back(buffer.Line());
  return lines;
}

// Feeds the pieces through a buffer of the given size as separate reads, in the usage
// pattern of both programs: lines until none is complete, then Compact and read again.
std::vector<std::string> linesOverReads(const std::vector<std::string>& pieces, int size,
                                        bool join, bool http = false) {
  LineBuffer buffer(size);
  buffer.SetJoinSplitLineEnds(join);
  buffer.SetHttpMode(http);
  std::vector<std::string> lines;
  for (const std::string& piece : pieces) {
    std::istringstream in(piece);
    EXPECT_EQ(buffer.ReadFrom(in), static_cast<long>(piece.size()));
    for (const std::string& line : allLines(buffer)) lines.push_back(line);
    static_cast<void>(buffer.Compact());  // the result matters only for a full buffer
  }
  return lines;
}

using Lines = std::vector<std::string>;

TEST(LineBuffer, PlainModeRunOfLineEndsEndsOneLine) {
  LineBuffer buffer(std::string("a\r\n\r\nb\n"));
  EXPECT_EQ(allLines(buffer), (Lines{"a", "b"}));
  EXPECT_FALSE(buffer.NextLine());
  EXPECT_EQ(buffer.Line(), "");
  LineBuffer lf(std::string("x\ny\rz\n\n\n"));
  EXPECT_EQ(allLines(lf), (Lines{"x", "y", "z"}));
  LineBuffer nul(std::string("ab\0cd\nef\n", 9));
  EXPECT_EQ(allLines(nul), (Lines{"ab", "ef"}));  // a line is read up to its first NUL
}

TEST(LineBuffer, LineEndAtTheStartOfTheDataGivesAnEmptyLine) {
  LineBuffer buffer(std::string("\nabc\n"));
  EXPECT_EQ(allLines(buffer), (Lines{"", "abc"}));
}

TEST(LineBuffer, HttpModeDeliversEveryEmptyLine) {
  LineBuffer buffer(std::string("a\r\n\r\nb\n\nc\rd\r\n"));
  buffer.SetHttpMode(true);
  EXPECT_EQ(allLines(buffer), (Lines{"a", "", "b", "", "c", "d"}));
}

TEST(LineBuffer, PartialLineMovesToTheFrontAndIsCompletedByTheNextRead) {
  LineBuffer buffer(16);
  std::istringstream first("one\ntw");
  EXPECT_EQ(buffer.ReadFrom(first), 6);
  EXPECT_EQ(allLines(buffer), (Lines{"one"}));
  // Asking again without new data must not lose the unfinished line.
  EXPECT_FALSE(buffer.NextLine());
  EXPECT_TRUE(buffer.Compact());
  std::ostringstream dump;
  buffer.Print(dump);
  EXPECT_EQ(dump.str(), "buf len = 2 line start = 0 end = 0 tok start = 0 tok end = 0\ntw\n");
  std::istringstream second("o\n");
  EXPECT_EQ(buffer.ReadFrom(second), 2);
  EXPECT_EQ(allLines(buffer), (Lines{"two"}));
}

TEST(LineBuffer, DataWithoutLineEndStaysForCompact) {
  LineBuffer buffer(std::string("abc"));
  EXPECT_FALSE(buffer.NextLine());
  EXPECT_FALSE(buffer.Compact());  // three bytes fill a buffer of three
  std::ostringstream dump;
  buffer.Print(dump);
  EXPECT_EQ(dump.str(), "buf len = 3 line start = 0 end = 0 tok start = 0 tok end = 0\nabc\n");
}

TEST(LineBuffer, FullBufferWithoutLineEndCannotCompact) {
  LineBuffer buffer(128);
  std::istringstream in(std::string(200, 'x'));
  EXPECT_EQ(buffer.ReadFrom(in), 128);
  EXPECT_FALSE(buffer.NextLine());
  EXPECT_FALSE(buffer.Compact());
  EXPECT_EQ(buffer.ReadFrom(in), 0);  // no room left: the reader stops
}

TEST(LineBuffer, CrAtTheEndOfOneReadAndLfInTheNext) {
  // As described for the buffer alone: the line comes at once, the LF makes an empty line.
  EXPECT_EQ(linesOverReads({"ab\r", "\ncd\n"}, 16, false), (Lines{"ab", "", "cd"}));
  // Joined, the split pair is one line end in both modes.
  EXPECT_EQ(linesOverReads({"ab\r", "\ncd\n"}, 16, true), (Lines{"ab", "cd"}));
  EXPECT_EQ(linesOverReads({"ab\r", "\ncd\r\n"}, 16, true, true), (Lines{"ab", "cd"}));
}

TEST(LineBuffer, JoinedRunMaySpanSeveralReads) {
  EXPECT_EQ(linesOverReads({"ab\n", "\r\n", "\n\n", "cd\n"}, 8, true), (Lines{"ab", "cd"}));
  // A new line after a complete one is not swallowed, and the first line may be empty.
  EXPECT_EQ(linesOverReads({"\nab\n", "cd\n"}, 8, true), (Lines{"", "ab", "cd"}));
  // In HTTP mode only the LF of a split CR LF is joined: a real empty line remains.
  EXPECT_EQ(linesOverReads({"ab\r", "\n\r\ncd\r\n"}, 16, true, true), (Lines{"ab", "", "cd"}));
  EXPECT_EQ(linesOverReads({"ab\n", "\ncd\n"}, 16, true, true), (Lines{"ab", "", "cd"}));
}

TEST(LineBuffer, TokensConsumeRunsOfSeparatorsAfterThem) {
  LineBuffer buffer(std::string("GET  /x\n"));
  ASSERT_TRUE(buffer.NextLine());
  EXPECT_EQ(buffer.NextToken(" "), "GET");
  EXPECT_EQ(buffer.NextToken(" "), "/x");
  EXPECT_EQ(buffer.NextToken(" "), "");
  EXPECT_EQ(buffer.Line(), "GET");  // the separators became NUL bytes
  EXPECT_FALSE(buffer.NextLine());
  // Without a ready line both views are empty, yet still usable as C strings.
  EXPECT_STREQ(buffer.NextToken(" ").data(), "");
  EXPECT_STREQ(buffer.Line().data(), "");
}

TEST(LineBuffer, LeadingSeparatorsNeedSkipping) {
  LineBuffer buffer(std::string(" \tk: v w\r\n"));
  ASSERT_TRUE(buffer.NextLine());
  buffer.SkipSeparators(" \t");
  EXPECT_EQ(buffer.NextToken(":"), "k");
  buffer.SkipSeparators(" ");
  EXPECT_EQ(buffer.NextToken(""), "v w");  // no separators: the rest of the line
  EXPECT_EQ(buffer.NextToken(" "), "v");
  EXPECT_EQ(buffer.NextToken(" "), "w");
  EXPECT_EQ(buffer.NextToken(" "), "");
  LineBuffer leading(std::string(" a\n"));
  ASSERT_TRUE(leading.NextLine());
  EXPECT_EQ(leading.NextToken(" "), "");
  EXPECT_EQ(leading.NextToken(" "), "a");
}

TEST(LineBuffer, CompactWithAReadyLineDropsAllData) {
  LineBuffer buffer(std::string("a\nbc"));
  ASSERT_TRUE(buffer.NextLine());
  std::ostringstream rest;
  buffer.WriteRest(rest);
  EXPECT_EQ(rest.str(), "bc");
  EXPECT_TRUE(buffer.Compact());
  EXPECT_FALSE(buffer.NextLine());
  std::ostringstream dump;
  buffer.Print(dump);
  EXPECT_EQ(dump.str().substr(0, 12), "buf len = 0 ");
}

TEST(LineBuffer, PrintOfANewBuffer) {
  LineBuffer buffer(64);
  std::ostringstream dump;
  buffer.Print(dump);
  EXPECT_EQ(dump.str(), "buf len = 0 line start = 0 end = 0 tok start = 0 tok end = 0\n\n");
}

TEST(LineBuffer, ReadFdFromAPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  LineBuffer buffer(8);
  const std::string data = "HELLO\r\nCPU\n";
  ASSERT_EQ(write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fds[1]);
  EXPECT_EQ(buffer.ReadFd(fds[0]), 8);  // only the free space is read
  EXPECT_EQ(allLines(buffer), (Lines{"HELLO"}));
  EXPECT_TRUE(buffer.Compact());
  EXPECT_EQ(buffer.ReadFd(fds[0]), 3);
  EXPECT_EQ(allLines(buffer), (Lines{"CPU"}));
  EXPECT_TRUE(buffer.Compact());
  EXPECT_EQ(buffer.ReadFd(fds[0]), 0);  // end of stream leaves the data alone
  close(fds[0]);
  EXPECT_EQ(buffer.ReadFd(fds[0]), -1);  // a closed descriptor
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(buffer.NextLine());
}

}  // namespace
}  // namespace kelv
