#include "absl/strings/str_format.h"
#include "lib/reporting/recording.h"
#include "lib/reporting/report.h"

namespace kelv {

std::string formatProgressLine(bool warmup, double elapsedSeconds, int phaseSeconds,
                               double intervalThroughput, double clientCpu, double remoteCpu) {
  std::string line = absl::StrFormat("%s(%.0f / %i) %.3f", warmup ? "Warming up: " : "",
                                     elapsedSeconds, phaseSeconds, intervalThroughput);
  if (clientCpu > 0) absl::StrAppendFormat(&line, " %.0f%% cpu", clientCpu * 100.0);
  if (remoteCpu > 0) absl::StrAppendFormat(&line, " %.0f%% remote cpu", remoteCpu * 100.0);
  return line;
}

void printProgress(std::ostream& out, Recording& recording, const ThreadList& threads,
                   int phaseSeconds) {
  const TickResult tick = recording.Tick(threads);
  out << formatProgressLine(recording.InWarmup(), tick.interval.elapsedSeconds, phaseSeconds,
                            tick.interval.progressFigure, tick.samples.clientCpu,
                            tick.samples.remoteCpu1)
      << '\n';
  out.flush();
}

}  // namespace kelv
