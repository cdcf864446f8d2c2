#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <string_view>

namespace kelv {

// Reads line-oriented text into one fixed buffer and hands it out line by line, and each
// line token by token, without copying: line ends and separators are overwritten with NUL
// in place and the results are views into the buffer.
//
// Plain line mode (the default): a line ends at the first CR or LF, and the whole run of CR
// and LF after it belongs to that line end. HTTP mode: exactly one CR, LF or CR LF ends a
// line, so an empty line in the data is delivered.
class LineBuffer {
 public:
  explicit LineBuffer(int size);
  explicit LineBuffer(const std::string& text);
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  ~LineBuffer();

  // One read into the free space; returns the count read (0 at the end of the stream).
  long ReadFrom(std::istream& in);
  // One read(2) into the free space; returns its result.
  long ReadFd(int fd);

  bool NextLine();
  // The current line up to its first NUL, usable as a C string; empty when none is ready.
  std::string_view Line() const;
  std::string_view NextToken(std::string_view separators);
  void SkipSeparators(std::string_view separators);
  // Moves the unfinished line to the front; false when it fills the whole buffer.
  bool Compact();
  // At the end of the data: gives an unfinished last line the line end it lacks, so that the
  // next NextLine delivers it. False when there is no such line, or no room for its end.
  bool EndUnfinishedLine();
  void WriteRest(std::ostream& out) const;
  void Print(std::ostream& out) const;

  void SetHttpMode(bool on) { httpMode = on; }
  // When on, a line end that a read boundary splits (CR at the end of one read, LF at the
  // start of the next, or a run of blank lines) still ends one line: the rest of it at the
  // start of the next data yields no extra empty line. Off by default.
  void SetJoinSplitLineEnds(bool on) { joinSplitLineEnds = on; }

 private:
  bool IsLineEnd(int offset) const;
  void TerminateLine();
  void SkipContinuedLineEnd();
  int StringEnd(int from) const;

  char* buf = nullptr;
  bool httpMode = false;
  int length = 0;
  int capacity = 0;
  int lineStart = 0;
  int lineEnd = 0;
  bool lineReady = false;
  int tokStart = 0;
  int tokEnd = 0;
  bool joinSplitLineEnds = false;
  // The last line end found ran up to the end of the data; in HTTP mode, it was a lone CR.
  bool lineEndAtDataEnd = false;
};

}  // namespace kelv
