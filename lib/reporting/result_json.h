#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "lib/reporting/measurement.h"

namespace kelv {

// How a reader knows a kelv result, and the version of its layout that this program writes and
// reads (docs/result.schema.json).
constexpr char RESULT_FORMAT[] = "kelv-result";
constexpr int RESULT_FORMAT_VERSION = 1;

// The program that writes a result: its version and the source revision it was built from.
struct ResultAuthor {
  std::string_view kelvVersion;
  std::string_view revision;
};

// The whole measurement as one JSON object on one line, with a line end. Every figure is
// computed by figuresOf, as the text report's and the CSV line's are.
std::string resultJson(const Measurement& measurement, const ResultAuthor& author);

// A result's text read back. The measurement equals the one written, except that wall-clock
// times keep whole milliseconds and CPU and memory figures pass through percent. Otherwise
// the error: one line that says why the text is not a result this program reads.
struct ResultReading {
  std::optional<Measurement> measurement;
  std::string error;
};
ResultReading readResultJson(std::string_view text);

}  // namespace kelv
