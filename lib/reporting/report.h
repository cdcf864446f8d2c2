#pragma once

#include <ostream>
#include <string>

#include "lib/engine/io_thread.h"

namespace kelv {

void printTextReport(std::ostream& out);
void printCsvLine(std::ostream& out, const std::string& name, int threads, int connections);
void printCsvHeader(std::ostream& out);
// One progress line of a tick; phaseSeconds is the phase's full length.
void printProgress(std::ostream& out, const ThreadList& threads, int phaseSeconds, bool warmup);

}  // namespace kelv
