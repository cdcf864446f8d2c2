#include "lib/hoststats/process_stats.h"

#include <algorithm>
#include <charconv>
#include <string>
#include <utility>

#include "lib/hoststats/proc_files.h"

namespace kelv {
namespace {

// The kernel keeps a process name in 16 bytes with its terminator.
constexpr size_t COMM_LENGTH = 15;
constexpr double BYTES_PER_MIB = 1048576.0;
// Positions after the name, counted from the state field (field 3 of the file) as 0.
constexpr int UTIME_INDEX = 11;
constexpr int STIME_INDEX = 12;
constexpr int STARTTIME_INDEX = 19;
constexpr int RSS_INDEX = 21;

// Reads the blank-separated fields after the name in increasing order of index; rest starts
// with the blank before field `index`.
struct FieldReader {
  std::string_view rest;
  int index = 0;

  // The count at the index; -1 when the field is missing or no count.
  int64_t At(int wanted) {
    for (; index < wanted; ++index) {
      const size_t start = rest.find_first_not_of(' ');
      const size_t next = start == std::string_view::npos ? start : rest.find(' ', start);
      if (next == std::string_view::npos) return -1;
      rest.remove_prefix(next);
    }
    const int64_t value = takeCount(rest);
    if (value >= 0) ++index;
    return value;
  }
};

std::optional<int> wholePid(std::string_view text) {
  int pid = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size() || pid <= 0) {
    return std::nullopt;
  }
  return pid;
}

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<ProcessStat> readProcess(const ProcFiles& files, int pid, std::string& text) {
  if (!files.Read(std::to_string(pid) + "/stat", text)) return std::nullopt;
  return parseProcessStat(text);
}

}  // namespace

std::optional<ProcessStat> parseProcessStat(std::string_view text) {
  // The name may hold blanks and parentheses itself: it ends at the last ")".
  const size_t open = text.find(" (");
  const size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open + 2) {
    return std::nullopt;
  }
  ProcessStat process;
  const std::optional<int> pid = wholePid(text.substr(0, open));
  if (!pid) return std::nullopt;
  process.pid = *pid;
  process.comm = std::string(text.substr(open + 2, close - open - 2));
  FieldReader fields{text.substr(close + 1)};
  const int64_t utime = fields.At(UTIME_INDEX);
  const int64_t stime = fields.At(STIME_INDEX);
  process.startTicks = fields.At(STARTTIME_INDEX);
  process.rssPages = fields.At(RSS_INDEX);
  if (utime < 0 || stime < 0 || process.startTicks < 0 || process.rssPages < 0 ||
      __builtin_add_overflow(utime, stime, &process.cpuTicks)) {
    return std::nullopt;
  }
  return process;
}

ProcessSelector ProcessSelector::FromArgument(std::string_view argument) {
  ProcessSelector selector;
  if (!allDigits(argument)) {
    selector.name = std::string(argument.substr(0, COMM_LENGTH));
  } else if (const std::optional<int> pid = wholePid(argument)) {
    selector.pid = *pid;
  }  // else a number no process can have: it matches nothing
  return selector;
}

bool ProcessSelector::Matches(const ProcessStat& process) const {
  return pid != 0 ? process.pid == pid : !name.empty() && process.comm == name;
}

std::vector<ProcessStat> readProcesses(const ProcFiles& files, const ProcessSelector& selector) {
  std::vector<ProcessStat> found;
  std::string text;
  if (selector.pid != 0) {
    if (auto process = readProcess(files, selector.pid, text)) found.push_back(*process);
    return found;
  }
  if (selector.name.empty()) return found;  // a number no process can have
  for (const int pid : files.Pids()) {
    // A process that ended since the listing is simply not there.
    auto process = readProcess(files, pid, text);
    if (process && selector.Matches(*process)) found.push_back(std::move(*process));
  }
  return found;
}

std::vector<ProcessStat> readAllProcesses(const ProcFiles& files) {
  std::vector<ProcessStat> all;
  std::string text;
  for (const int pid : files.Pids()) {
    if (auto process = readProcess(files, pid, text)) all.push_back(std::move(*process));
  }
  return all;
}

ProcessBaseline processBaseline(const std::vector<ProcessStat>& processes, int64_t uptimeTicks) {
  ProcessBaseline baseline;
  baseline.uptimeTicks = uptimeTicks;
  baseline.marks.reserve(processes.size());
  for (const ProcessStat& p : processes) {
    baseline.marks.push_back({p.pid, p.startTicks, p.cpuTicks});
  }
  std::sort(baseline.marks.begin(), baseline.marks.end(),
            [](const ProcessMark& a, const ProcessMark& b) { return a.pid < b.pid; });
  return baseline;
}

namespace {

// The ticks one process used since the baseline, by the rule of processFigures.
double ticksSince(const ProcessBaseline& since, const ProcessStat& process) {
  const auto mark = std::lower_bound(since.marks.begin(), since.marks.end(), process.pid,
                                     [](const ProcessMark& m, int pid) { return m.pid < pid; });
  // The same number with another start time is a new process that reused it.
  if (mark != since.marks.end() && mark->pid == process.pid &&
      mark->startTicks == process.startTicks) {
    return static_cast<double>(std::max<int64_t>(process.cpuTicks - mark->cpuTicks, 0));
  }
  if (process.startTicks >= since.uptimeTicks) return static_cast<double>(process.cpuTicks);
  return 0.0;
}

}  // namespace

ProcessFigures processFigures(const ProcessBaseline& since, const std::vector<ProcessStat>& now,
                              int64_t nowUptimeTicks, int64_t pageBytes) {
  ProcessFigures figures;
  double usedTicks = 0;
  double pages = 0;
  for (const ProcessStat& process : now) {
    usedTicks += ticksSince(since, process);
    pages += static_cast<double>(process.rssPages);
  }
  const int64_t elapsed = nowUptimeTicks - since.uptimeTicks;
  if (since.uptimeTicks >= 0 && elapsed > 0)
    figures.busy = usedTicks / static_cast<double>(elapsed);
  figures.residentMiB = pages * static_cast<double>(pageBytes) / BYTES_PER_MIB;
  return figures;
}

}  // namespace kelv
