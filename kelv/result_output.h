#pragma once

#include <string>

#include "kelv/options.h"

namespace kelv {

struct Measurement;

// The JSON text of a final measurement, a run's or a merge's, as --json writes it: the one
// function every writer of a result file calls.
std::string finalResultJson(const Measurement& measurement);

// The final measurement as the settings ask: the text report or the CSV line on standard
// output, the JSON to its file or in place of the text report, and the report page that
// draws that JSON to its file. False when a file could not be written; the reason is then
// on standard error.
bool writeResults(const Measurement& measurement, const Settings& settings);

}  // namespace kelv
