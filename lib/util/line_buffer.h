#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <string_view>

namespace kelv {

// Reads line-oriented text into one fixed buffer and hands it out line by line, and each
// line token by token, without copying: line ends and separators are overwritten with NUL
// in place and the results are views into the buffer.
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
  std::string_view Line() const;
  std::string_view NextToken(std::string_view separators);
  void SkipSeparators(std::string_view separators);
  // Moves the unfinished line to the front; false when it fills the whole buffer.
  bool Compact();
  void WriteRest(std::ostream& out) const;
  void Print(std::ostream& out) const;

  void SetHttpMode(bool on) { httpMode = on; }

 private:
  char* buf = nullptr;
  bool httpMode = false;
  int length = 0;
  int capacity = 0;
  int lineStart = 0;
  int lineEnd = 0;
  bool lineReady = false;
  int tokStart = 0;
  int tokEnd = 0;
};

}  // namespace kelv
