#pragma once

#include <ostream>
#include <string>

#include "lib/engine/io_thread.h"
#include "lib/reporting/statistics.h"

namespace kelv {

// The report of the latest recording period, from computeResults and hostFigures.
void printTextReport(std::ostream& out);
void printCsvLine(std::ostream& out, const std::string& name, int threads, int connections);
void printCsvHeader(std::ostream& out);
// One progress line of a tick; phaseSeconds is the phase's full length.
void printProgress(std::ostream& out, const ThreadList& threads, int phaseSeconds, bool warmup);

// The texts of the above as functions of the figures.
std::string formatTextReport(const Results& r, const HostFigures& host);
std::string formatCsvLine(const Results& r, const HostFigures& host, const std::string& name,
                          int threads, int connections);
// Without the line end; a CPU part appears only for a figure above 0.
std::string formatProgressLine(bool warmup, double elapsedSeconds, int phaseSeconds,
                               double intervalThroughput, double clientCpu, double remoteCpu);

}  // namespace kelv
