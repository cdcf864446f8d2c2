#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/hoststats/host_cpu.h"
#include "lib/hoststats/net_stats.h"
#include "lib/hoststats/process_stats.h"

namespace kelv {

class ProcFiles;

// One observer's view of the host: the busy fraction of its processors, of chosen processes
// and the network traffic, each over the interval since the observer's previous question of
// the same kind (for processes: about the same processes), or since the observer was made.
// Each monitor client owns one; it is used from one thread at a time.
class HostObserver {
 public:
  // Takes the start of every first interval now. The files must outlive the observer.
  explicit HostObserver(const ProcFiles& procFiles);

  HostBusy Host();
  // Nothing when no process has that name or number now.
  std::optional<ProcessFigures> Process(std::string_view nameOrPid);
  NetRates Net();

  // How many different process arguments keep an interval of their own; the least recently
  // asked one gives its place up to a new one (and measures from the start when asked again).
  static constexpr size_t TRACKED_ARGUMENTS = 8;

 private:
  struct ArgumentBaseline {
    std::string argument;
    ProcessBaseline baseline;
    uint64_t lastAsked = 0;
  };

  ProcessBaseline& BaselineFor(std::string_view argument);

  const ProcFiles& files;
  HostCpuTimes hostBefore;
  std::vector<InterfaceBytes> netBefore;
  int64_t netBeforeTicks = -1;
  ProcessBaseline firstBaseline;  // every process when the observer was made
  std::vector<ArgumentBaseline> arguments;
  uint64_t questions = 0;
};

}  // namespace kelv
