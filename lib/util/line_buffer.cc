#include "lib/util/line_buffer.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "lib/util/check.h"

namespace kelv {
namespace {

const char* const CHECK_SOURCE = "kelv_line_buffer";
// What Line and NextToken return when there is nothing: an empty view that is still a
// valid C string.
constexpr std::string_view EMPTY_VIEW = "";

char* allocateBuffer(int size) {
  // malloc(0) may return null; one byte keeps "null means out of memory".
  char* buffer = static_cast<char*>(std::malloc(std::max(size, 1)));
  CHECK_OR_ABORT(buffer != nullptr, CHECK_SOURCE);
  return buffer;
}

bool isSeparator(std::string_view separators, char c) {
  return separators.find(c) != std::string_view::npos;
}

}  // namespace

LineBuffer::LineBuffer(int size) : buf(allocateBuffer(size)), capacity(std::max(size, 0)) {}

LineBuffer::LineBuffer(const std::string& text) {
  CHECK_OR_ABORT(text.size() <= static_cast<size_t>(INT_MAX), CHECK_SOURCE);
  capacity = static_cast<int>(text.size());
  length = capacity;
  buf = allocateBuffer(capacity);
  std::memcpy(buf, text.data(), text.size());
}

LineBuffer::~LineBuffer() { std::free(buf); }

long LineBuffer::ReadFrom(std::istream& in) {
  in.read(buf + length, capacity - length);
  const long count = static_cast<long>(in.gcount());
  length += static_cast<int>(count);
  return count;
}

long LineBuffer::ReadFd(int fd) {
  const ssize_t count = read(fd, buf + length, static_cast<size_t>(capacity - length));
  if (count > 0) length += static_cast<int>(count);
  return static_cast<long>(count);
}

bool LineBuffer::IsLineEnd(int offset) const {
  return buf[offset] == '\r' || buf[offset] == '\n';
}

bool LineBuffer::NextLine() {
  // After a failed search lineStart stays on the unfinished line, so a second call (or
  // one after more data arrived without a Compact) loses nothing.
  if (lineReady) lineStart = lineEnd;
  lineReady = false;
  if (joinSplitLineEnds && lineEndAtDataEnd) SkipContinuedLineEnd();
  while (lineEnd < length && !IsLineEnd(lineEnd)) ++lineEnd;
  if (lineEnd >= length) return false;
  TerminateLine();
  lineReady = true;
  tokStart = lineStart;
  tokEnd = lineStart;
  return true;
}

// The previous line end reached the end of the data; its rest may start the new data.
void LineBuffer::SkipContinuedLineEnd() {
  if (lineEnd >= length) return;
  if (httpMode) {
    if (buf[lineEnd] == '\n') ++lineEnd;
  } else {
    while (lineEnd < length && IsLineEnd(lineEnd)) ++lineEnd;
  }
  lineEndAtDataEnd = !httpMode && lineEnd == length;
  lineStart = lineEnd;
}

// Replaces the line end at lineEnd by NUL bytes and moves lineEnd past it.
void LineBuffer::TerminateLine() {
  if (!httpMode) {
    while (lineEnd < length && IsLineEnd(lineEnd)) buf[lineEnd++] = '\0';
    lineEndAtDataEnd = lineEnd == length;
    return;
  }
  const bool isCr = buf[lineEnd] == '\r';
  buf[lineEnd++] = '\0';
  if (isCr && lineEnd < length && buf[lineEnd] == '\n') {
    buf[lineEnd++] = '\0';
    lineEndAtDataEnd = false;
    return;
  }
  // Only a CR that ends the data may still have its LF coming.
  lineEndAtDataEnd = isCr && lineEnd == length;
}

int LineBuffer::StringEnd(int from) const {
  const void* nul = std::memchr(buf + from, '\0', static_cast<size_t>(lineEnd - from));
  return nul == nullptr ? lineEnd : static_cast<int>(static_cast<const char*>(nul) - buf);
}

std::string_view LineBuffer::Line() const {
  if (!lineReady) return EMPTY_VIEW;
  return std::string_view(buf + lineStart, static_cast<size_t>(StringEnd(lineStart) - lineStart));
}

std::string_view LineBuffer::NextToken(std::string_view separators) {
  if (!lineReady || tokEnd >= lineEnd) return EMPTY_VIEW;
  tokStart = tokEnd;
  if (!separators.empty()) {
    while (tokEnd < lineEnd && !isSeparator(separators, buf[tokEnd])) ++tokEnd;
    while (tokEnd < lineEnd && isSeparator(separators, buf[tokEnd])) buf[tokEnd++] = '\0';
  }
  return std::string_view(buf + tokStart, static_cast<size_t>(StringEnd(tokStart) - tokStart));
}

void LineBuffer::SkipSeparators(std::string_view separators) {
  if (!lineReady) return;
  while (tokEnd < lineEnd && isSeparator(separators, buf[tokEnd])) ++tokEnd;
}

bool LineBuffer::Compact() {
  if (lineReady) {
    // The data after a ready line goes too, so a pending line end no longer ends it.
    lineEndAtDataEnd = lineEndAtDataEnd && lineEnd == length;
    length = 0;
  } else {
    const int rest = length - lineStart;
    std::memmove(buf, buf + lineStart, static_cast<size_t>(rest));
    length = rest;
  }
  lineStart = 0;
  lineEnd = 0;
  lineReady = false;
  return length < capacity;
}

bool LineBuffer::EndUnfinishedLine() {
  if (lineReady || lineStart >= length || length >= capacity) return false;
  buf[length++] = '\n';
  return true;
}

void LineBuffer::WriteRest(std::ostream& out) const {
  out.write(buf + lineEnd, length - lineEnd);
}

void LineBuffer::Print(std::ostream& out) const {
  out << "buf len = " << length << " line start = " << lineStart << " end = " << lineEnd
      << " tok start = " << tokStart << " tok end = " << tokEnd << std::endl;
  out.write(buf, length);
  out << std::endl;
}

}  // namespace kelv
