#include "kelv/merge_command.h"

#include <cstdio>
#include <iostream>
#include <optional>

#include "kelv/exit_status.h"
#include "kelv/result_output.h"
#include "lib/reporting/merge.h"
#include "lib/reporting/result_json.h"
#include "lib/util/files.h"

namespace kelv {
namespace {

constexpr double PERCENT = 100.0;

// The result in a file, or none with the file's name and the reason on standard error.
std::optional<Measurement> readResultFile(const std::string& path) {
  std::string text;
  const Status status = readRegularFile(path, &text);
  if (!status.ok()) {
    std::cerr << "kelv: " << path << ": " << status.message << std::endl;
    return std::nullopt;
  }
  ResultReading reading = readResultJson(text);
  if (!reading.measurement) std::cerr << "kelv: " << path << ": " << reading.error << std::endl;
  return std::move(reading.measurement);
}

void warnOfOverlap(double overlap) {
  if (overlap >= MIN_MERGE_OVERLAP) return;
  std::fprintf(stderr,
               "kelv: warning: the measured periods overlap by %.0f%% of the longest, less than "
               "%.0f%%: the summed throughput is not that of one common load\n",
               overlap * PERCENT, MIN_MERGE_OVERLAP * PERCENT);
}

}  // namespace

int runMerge(const Settings& settings) {
  std::vector<MergeInput> inputs;
  for (const std::string& file : settings.mergeFiles) {
    std::optional<Measurement> measurement = readResultFile(file);
    if (!measurement) return EXIT_STATUS_START_FAILED;
    inputs.push_back(MergeInput{file, std::move(*measurement)});
  }
  const MergedMeasurement merged = mergeMeasurements(inputs, settings.runName);
  warnOfOverlap(merged.overlap);
  if (!writeResults(merged.measurement, settings)) return EXIT_STATUS_OUTPUT_FAILED;
  std::cout.flush();
  return merged.measurement.counts.successful > 0 ? EXIT_STATUS_OK : EXIT_STATUS_NO_SUCCESS;
}

}  // namespace kelv
