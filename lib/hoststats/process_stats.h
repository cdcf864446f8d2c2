#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelv {

class ProcFiles;

// What one /proc/PID/stat says of its process.
struct ProcessStat {
  int pid = 0;
  std::string comm;        // the name /proc/PID/comm gives, at most 15 bytes
  int64_t cpuTicks = 0;    // user + system time of all its threads
  int64_t startTicks = 0;  // when it started, in ticks since boot
  int64_t rssPages = 0;    // resident pages
};

std::optional<ProcessStat> parseProcessStat(std::string_view text);

// A PROC argument: a process name, or the number of one process (all digits).
struct ProcessSelector {
  std::string name;  // empty for a number
  int pid = 0;       // 0 for a name

  static ProcessSelector FromArgument(std::string_view argument);
  bool Matches(const ProcessStat& process) const;
};

// The processes the selector names, read now. A name is compared with the whole name the
// kernel keeps, which it cuts at 15 bytes: a longer name is compared in its first 15.
std::vector<ProcessStat> readProcesses(const ProcFiles& files, const ProcessSelector& selector);
// Every process there is now.
std::vector<ProcessStat> readAllProcesses(const ProcFiles& files);

// A process's CPU time at the start of an interval.
struct ProcessMark {
  int pid = 0;
  int64_t startTicks = 0;
  int64_t cpuTicks = 0;
};

// The start of an interval: the time and the marks of the processes known then.
struct ProcessBaseline {
  int64_t uptimeTicks = -1;
  std::vector<ProcessMark> marks;  // sorted by pid
};

ProcessBaseline processBaseline(const std::vector<ProcessStat>& processes, int64_t uptimeTicks);

// What PROC answers for a set of processes.
struct ProcessFigures {
  double busy = 0;         // CPU time over the interval as a fraction of one processor
  double residentMiB = 0;  // their resident memory added up
};

// The CPU each process used since the baseline: from its mark when it has one, all of it when
// it started after the baseline, none when it was there already but unknown (it could not be
// told apart from what it used before). A process that ended in the interval is left out.
ProcessFigures processFigures(const ProcessBaseline& since, const std::vector<ProcessStat>& now,
                              int64_t nowUptimeTicks, int64_t pageBytes);

}  // namespace kelv
