#include "fuzz/reference_lines.h"

namespace kelv {
namespace {

bool isLineEnd(char c) { return c == '\r' || c == '\n'; }

// The offset just past the line end that starts at `at`.
size_t skipLineEnd(std::string_view text, size_t at, bool httpMode) {
  if (httpMode) {
    const bool crLf = text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n';
    return at + (crLf ? 2 : 1);
  }
  while (at < text.size() && isLineEnd(text[at])) ++at;
  return at;
}

}  // namespace

std::string_view cutAtNul(std::string_view text) { return text.substr(0, text.find('\0')); }

ReferenceLines referenceLines(std::string_view text, bool httpMode, size_t capacity) {
  ReferenceLines result;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && !isLineEnd(text[end])) ++end;
    if (end - start >= capacity) {
      result.overflow = true;
      break;
    }
    if (end == text.size()) break;
    result.lines.emplace_back(text.substr(start, end - start));
    start = skipLineEnd(text, end, httpMode);
  }
  return result;
}

std::vector<std::string> referenceTokens(std::string_view line, std::string_view separators,
                                         bool skipLeading) {
  auto isSeparator = [separators](char c) { return separators.find(c) != std::string_view::npos; };
  std::vector<std::string> tokens;
  size_t at = 0;
  bool first = true;
  while (at < line.size()) {
    if (!first || skipLeading) {
      while (at < line.size() && isSeparator(line[at])) ++at;
      if (at == line.size()) break;
    }
    const size_t start = at;
    while (at < line.size() && !isSeparator(line[at])) ++at;
    tokens.emplace_back(cutAtNul(line.substr(start, at - start)));
    first = false;
  }
  return tokens;
}

}  // namespace kelv
