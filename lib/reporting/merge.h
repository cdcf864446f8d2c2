#pragma once

#include <string>
#include <vector>

#include "lib/reporting/measurement.h"

namespace kelv {

// One run to merge: its measurement, and the file it was read from.
struct MergeInput {
  std::string file;
  Measurement measurement;
};

// Below this share of the longest measured period in the common window, the summed rates
// describe load that was not all offered at once.
constexpr double MIN_MERGE_OVERLAP = 0.9;

struct MergedMeasurement {
  Measurement measurement;
  // The common window's length over the longest of the runs' measured periods, from 0 to 1.
  double overlap = 1;
};

// Several runs as one: counts, bytes, error kinds and status codes summed, histograms
// merged, rates the sums of the runs' rates, CPU samples of all runs together and memory the
// largest figure; the measured period is the common window, from the latest start to the
// earliest end, each end being a run's start plus its measured length. The settings are the
// first run's, with the connections and threads summed and the name given, unless it is
// empty. The timeline holds every run's ticks, each with its input's index, counted from the
// earliest start and in the order of their times.
MergedMeasurement mergeMeasurements(const std::vector<MergeInput>& inputs,
                                    const std::string& name);

}  // namespace kelv
