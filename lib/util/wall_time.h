#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelv {

// Wall-clock times (nanoseconds since the Unix epoch) as results and the command line write
// them: UTC in ISO 8601.

// "2026-12-09T13:00:00.123Z": the time rounded down to whole milliseconds.
std::string isoTimeMillis(int64_t wallNanos);

// "2026-12-09T13:00:00Z", with an optional fraction of up to nine digits after the seconds
// ("...:00.5Z"); the date and time must exist. None for anything else.
std::optional<int64_t> parseIsoTime(std::string_view text);

// An ISO time as above, or seconds since the epoch with an optional fraction ("1796821200.5").
std::optional<int64_t> parseWallTime(std::string_view text);

}  // namespace kelv
