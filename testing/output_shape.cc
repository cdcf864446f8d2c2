#include "testing/output_shape.h"

#include <cctype>
#include <functional>

namespace kelv {
namespace {

using CharTest = std::function<bool(char)>;

bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }
bool isLowerHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f'); }

// Length of the run of characters that pass the test, from the start of the text.
size_t runLength(std::string_view text, const CharTest& test) {
  size_t n = 0;
  while (n < text.size() && test(text[n])) ++n;
  return n;
}

bool matchFrom(std::string_view text, std::string_view shape, std::vector<std::string>& out);

// A field that takes exactly `length` characters of the text, then the rest of the shape.
bool takeField(std::string_view text, size_t length, std::string_view rest,
               std::vector<std::string>& out) {
  out.emplace_back(text.substr(0, length));
  if (matchFrom(text.substr(length), rest, out)) return true;
  out.pop_back();
  return false;
}

// The fixed-length fields: {fK} and {xK}; -1 when the text does not start with one.
long fixedFieldLength(std::string_view text, char kind, int digits) {
  if (kind == 'x') {
    return runLength(text.substr(0, digits), isLowerHex) == static_cast<size_t>(digits) ? digits
                                                                                        : -1;
  }
  const size_t whole = runLength(text, isDigit);
  if (whole == 0 || whole >= text.size() || text[whole] != '.') return -1;
  const size_t decimals = runLength(text.substr(whole + 1), isDigit);
  return decimals == static_cast<size_t>(digits) ? static_cast<long>(whole + 1 + decimals) : -1;
}

bool matchField(std::string_view text, std::string_view field, std::string_view rest,
                std::vector<std::string>& out) {
  if (field == "*") {
    for (size_t length = 0; length <= text.size(); ++length) {
      if (takeField(text, length, rest, out)) return true;
    }
    return false;
  }
  if (field == "n" || field == "w") {
    const CharTest test =
        field == "n" ? CharTest(isDigit) : CharTest([](char c) { return c != ' ' && c != ','; });
    const size_t length = runLength(text, test);
    return length > 0 && takeField(text, length, rest, out);
  }
  if (field.size() >= 2 && (field[0] == 'f' || field[0] == 'x') &&
      runLength(field.substr(1), isDigit) == field.size() - 1) {
    const long length = fixedFieldLength(text, field[0], std::stoi(std::string(field.substr(1))));
    return length >= 0 && takeField(text, static_cast<size_t>(length), rest, out);
  }
  return false;  // an unknown field never matches
}

bool matchFrom(std::string_view text, std::string_view shape, std::vector<std::string>& out) {
  const size_t brace = shape.find('{');
  const std::string_view literal = shape.substr(0, brace);
  if (text.substr(0, literal.size()) != literal) return false;
  if (brace == std::string_view::npos) return text.size() == literal.size();
  const size_t close = shape.find('}', brace);
  if (close == std::string_view::npos) return false;
  return matchField(text.substr(literal.size()), shape.substr(brace + 1, close - brace - 1),
                    shape.substr(close + 1), out);
}

}  // namespace

bool matchShape(std::string_view text, std::string_view shape, std::vector<std::string>* fields) {
  std::vector<std::string> found;
  if (!matchFrom(text, shape, found)) return false;
  if (fields != nullptr) fields->insert(fields->end(), found.begin(), found.end());
  return true;
}

}  // namespace kelv
