#pragma once

#include <ostream>
#include <string>

#include "lib/engine/io_thread.h"
#include "lib/reporting/measurement.h"
#include "lib/reporting/statistics.h"

namespace kelv {

class Recording;

// The report of a measurement; the CSV line takes the name, the thread count and the
// connection count from its settings.
void printTextReport(std::ostream& out, const Measurement& measurement);
void printCsvLine(std::ostream& out, const Measurement& measurement);
void printCsvHeader(std::ostream& out);
// Takes a tick of the recording and prints its progress line; phaseSeconds is the phase's
// full length.
void printProgress(std::ostream& out, Recording& recording, const ThreadList& threads,
                   int phaseSeconds);

// The texts of the above as functions of the figures.
std::string formatTextReport(const Results& r, const HostFigures& host);
std::string formatCsvLine(const Results& r, const HostFigures& host, const std::string& name,
                          int threads, int connections);
// Without the line end; empty when `connections` carry `rate` at that mean service time.
std::string capacityWarningLine(double rate, int connections, int64_t meanServiceNanos);
// Without the line end; a CPU part appears only for a figure above 0.
std::string formatProgressLine(bool warmup, double elapsedSeconds, int phaseSeconds,
                               double intervalThroughput, double clientCpu, double remoteCpu);

}  // namespace kelv
