#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelv {

// The lines of a whole text by the line buffer's two line-end rules, found the slow and
// obvious way, to compare with what a LineBuffer delivers when the text comes in pieces.
struct ReferenceLines {
  std::vector<std::string> lines;  // without their line ends; NUL bytes kept
  bool overflow = false;           // stopped at a line that cannot fit the buffer
};

// Plain rule: a line ends at its first CR or LF and the whole run of CR and LF after it
// belongs to that end. HTTP rule: one CR, one LF or one CR LF ends a line. A line of
// `capacity` bytes or more (without its end) stops the text there; so does the end of the
// text, where an unfinished line is not delivered.
ReferenceLines referenceLines(std::string_view text, bool httpMode, size_t capacity);

// The tokens of a line by a set of separators: the text before the first separator (empty
// when the line starts with one, and dropped when leading separators are skipped), then each
// run of other bytes. Each token is cut at its first NUL, as a C string view would be.
std::vector<std::string> referenceTokens(std::string_view line, std::string_view separators,
                                         bool skipLeading);

// The text up to its first NUL.
std::string_view cutAtNul(std::string_view text);

}  // namespace kelv
