#include "mon/running_mon.h"

#include <cstdlib>

namespace kelv {

std::string kelvmonPath() { return binaryPath("kelvmon"); }

RunningMon::RunningMon(const std::vector<std::string>& argv) : process(argv) {
  const std::string listening = MON_LISTENING;
  if (process.WaitForStdoutLine(listening, MON_START_TIMEOUT_MILLIS, &listeningLine)) {
    port = std::atoi(listeningLine.c_str() + listening.size());
  }
}

std::vector<std::string> RunningMon::WithOptions(const std::vector<std::string>& options) {
  std::vector<std::string> argv = {kelvmonPath()};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back("0");
  return argv;
}

std::vector<std::string> RunningMon::Limited(const std::string& limit) {
  return {"sh", "-c", limit + " && exec \"$0\" 0", kelvmonPath()};
}

}  // namespace kelv
