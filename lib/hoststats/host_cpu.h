#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace kelv {

// Clock ticks of one line of /proc/stat: a processor, or the sum of all of them.
struct CpuTimes {
  int64_t total = 0;  // user + nice + system + idle + iowait + irq + softirq + steal
  int64_t idle = 0;   // idle + iowait
};

struct ProcessorTimes {
  int number = 0;  // N of "cpuN"
  CpuTimes times;
};

// The processor lines of one reading of /proc/stat.
struct HostCpuTimes {
  CpuTimes all;                            // the "cpu" line
  std::vector<ProcessorTimes> processors;  // the "cpuN" lines, in the file's order
};

// Busy fractions of the host over an interval, each from 0 to 1.
struct HostBusy {
  double all = 0;      // over all processors
  double busiest = 0;  // of the single processor that was busiest
};

HostCpuTimes parseProcStat(std::string_view text);
// 1 - idle / total of the deltas between the two readings, for all processors and for each
// processor found in both (an offline one is left out). An interval without ticks gives 0;
// counters that went backwards cannot give a figure outside 0 to 1.
HostBusy hostBusy(const HostCpuTimes& before, const HostCpuTimes& after);
double cpuTimesBusy(const CpuTimes& before, const CpuTimes& after);

}  // namespace kelv
