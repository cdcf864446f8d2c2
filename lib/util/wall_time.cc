#include "lib/util/wall_time.h"

#include <ctime>

#include "absl/strings/ascii.h"
#include "absl/strings/str_format.h"

namespace kelv {
namespace {

constexpr int64_t NANOS_PER_SECOND = 1'000'000'000;
constexpr int64_t NANOS_PER_MILLI = 1'000'000;
constexpr size_t MAX_FRACTION_DIGITS = 9;
// Far beyond any run, and small enough that the nanoseconds fit 64 bits.
constexpr int64_t MAX_EPOCH_SECONDS = 9'000'000'000;

int64_t floorDiv(int64_t value, int64_t divisor) {
  const int64_t quotient = value / divisor;
  return (value % divisor < 0) ? quotient - 1 : quotient;
}

// Reads exactly `count` digits at `at`, moving past them.
std::optional<int> readDigits(std::string_view text, size_t& at, size_t count) {
  if (at + count > text.size()) return std::nullopt;
  int value = 0;
  for (size_t end = at + count; at < end; ++at) {
    if (!absl::ascii_isdigit(static_cast<unsigned char>(text[at]))) return std::nullopt;
    value = value * 10 + (text[at] - '0');
  }
  return value;
}

bool expect(std::string_view text, size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

// "." and one to nine digits, as nanoseconds; 0 when there is no "." at `at`.
std::optional<int64_t> readFraction(std::string_view text, size_t& at) {
  if (at >= text.size() || text[at] != '.') return 0;
  ++at;
  int64_t nanos = 0;
  size_t digits = 0;
  for (; at < text.size() && absl::ascii_isdigit(static_cast<unsigned char>(text[at])); ++at) {
    if (++digits > MAX_FRACTION_DIGITS) return std::nullopt;
    nanos = nanos * 10 + (text[at] - '0');
  }
  if (digits == 0) return std::nullopt;
  for (size_t d = digits; d < MAX_FRACTION_DIGITS; ++d) nanos *= 10;
  return nanos;
}

// The seconds since the epoch of a broken-down UTC time, when that time exists (no 31 April).
std::optional<int64_t> epochSeconds(int year, int month, int day, int hour, int minute,
                                    int second) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  const std::tm asked = fields;
  const time_t seconds = ::timegm(&fields);  // normalises fields that are out of range
  if (fields.tm_year != asked.tm_year || fields.tm_mon != asked.tm_mon ||
      fields.tm_mday != asked.tm_mday || fields.tm_hour != asked.tm_hour ||
      fields.tm_min != asked.tm_min || fields.tm_sec != asked.tm_sec) {
    return std::nullopt;
  }
  return static_cast<int64_t>(seconds);
}

std::optional<int64_t> parseEpochSeconds(std::string_view text) {
  size_t at = 0;
  int64_t seconds = 0;
  for (; at < text.size() && absl::ascii_isdigit(static_cast<unsigned char>(text[at])); ++at) {
    seconds = seconds * 10 + (text[at] - '0');
    if (seconds > MAX_EPOCH_SECONDS) return std::nullopt;
  }
  if (at == 0) return std::nullopt;
  const std::optional<int64_t> fraction = readFraction(text, at);
  if (!fraction || at != text.size()) return std::nullopt;
  return seconds * NANOS_PER_SECOND + *fraction;
}

}  // namespace

std::string isoTimeMillis(int64_t wallNanos) {
  const int64_t millis = floorDiv(wallNanos, NANOS_PER_MILLI);
  const auto seconds = static_cast<time_t>(floorDiv(millis, 1000));
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  return absl::StrFormat("%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                         utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                         millis - floorDiv(millis, 1000) * 1000);
}

std::optional<int64_t> parseIsoTime(std::string_view text) {
  size_t at = 0;
  const auto year = readDigits(text, at, 4);
  if (!year || !expect(text, at, '-')) return std::nullopt;
  const auto month = readDigits(text, at, 2);
  if (!month || !expect(text, at, '-')) return std::nullopt;
  const auto day = readDigits(text, at, 2);
  if (!day || !expect(text, at, 'T')) return std::nullopt;
  const auto hour = readDigits(text, at, 2);
  if (!hour || !expect(text, at, ':')) return std::nullopt;
  const auto minute = readDigits(text, at, 2);
  if (!minute || !expect(text, at, ':')) return std::nullopt;
  const auto second = readDigits(text, at, 2);
  if (!second) return std::nullopt;
  const auto fraction = readFraction(text, at);
  if (!fraction || !expect(text, at, 'Z') || at != text.size()) return std::nullopt;
  const auto seconds = epochSeconds(*year, *month, *day, *hour, *minute, *second);
  if (!seconds || *seconds < 0 || *seconds > MAX_EPOCH_SECONDS) return std::nullopt;
  return *seconds * NANOS_PER_SECOND + *fraction;
}

std::optional<int64_t> parseWallTime(std::string_view text) {
  if (text.find('T') != std::string_view::npos) return parseIsoTime(text);
  return parseEpochSeconds(text);
}

}  // namespace kelv
