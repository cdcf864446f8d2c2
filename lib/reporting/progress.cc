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

// The tick of a text-mode run: the samples of recordingSample, then the hand-over.
void printProgress(std::ostream& out, const ThreadList& threads, int phaseSeconds, bool warmup) {
  const TickSamples samples = recordingTakeSamples();
  const IntervalResults iv = recordingInterval(threads);
  out << formatProgressLine(warmup, iv.elapsedSeconds, phaseSeconds, iv.intervalThroughput,
                            samples.clientCpu, samples.remoteCpu1)
      << '\n';
  out.flush();
}

}  // namespace kelv
