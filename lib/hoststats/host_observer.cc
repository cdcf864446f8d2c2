#include "lib/hoststats/host_observer.h"

#include <algorithm>

#include "lib/hoststats/proc_files.h"

namespace kelv {
namespace {

HostCpuTimes readHostCpu(const ProcFiles& files) {
  std::string text;
  static_cast<void>(files.Read("stat", text));  // unreadable: no processors, figures of 0
  return parseProcStat(text);
}

std::vector<InterfaceBytes> readNet(const ProcFiles& files) {
  std::string text;
  static_cast<void>(files.Read("net/dev", text));  // unreadable: no interfaces, rates of 0
  return parseNetDev(text);
}

}  // namespace

// The time comes before each reading, so that a process starting during the scan counts as
// started in the interval.
HostObserver::HostObserver(const ProcFiles& procFiles)
    : files(procFiles), hostBefore(readHostCpu(procFiles)) {
  netBeforeTicks = files.UptimeTicks();
  netBefore = readNet(files);
  const int64_t uptime = files.UptimeTicks();
  firstBaseline = processBaseline(readAllProcesses(files), uptime);
}

HostBusy HostObserver::Host() {
  HostCpuTimes now = readHostCpu(files);
  const HostBusy busy = hostBusy(hostBefore, now);
  hostBefore = std::move(now);
  return busy;
}

NetRates HostObserver::Net() {
  const int64_t nowTicks = files.UptimeTicks();
  std::vector<InterfaceBytes> now = readNet(files);
  const int64_t elapsed = netBeforeTicks < 0 || nowTicks < 0 ? 0 : nowTicks - netBeforeTicks;
  const NetRates rates = netRates(netBefore, now, elapsed, files.TicksPerSecond());
  netBefore = std::move(now);
  netBeforeTicks = nowTicks;
  return rates;
}

std::optional<ProcessFigures> HostObserver::Process(std::string_view nameOrPid) {
  const int64_t nowTicks = files.UptimeTicks();
  const std::vector<ProcessStat> now =
      readProcesses(files, ProcessSelector::FromArgument(nameOrPid));
  ProcessBaseline& since = BaselineFor(nameOrPid);
  const ProcessFigures figures = processFigures(since, now, nowTicks, files.PageBytes());
  // Even with no process now the interval restarts: one that starts later counts from then.
  since = processBaseline(now, nowTicks);
  if (now.empty()) return std::nullopt;
  return figures;
}

// The argument's own baseline; a new argument starts from the observer's first one.
ProcessBaseline& HostObserver::BaselineFor(std::string_view argument) {
  ++questions;
  auto known = std::find_if(arguments.begin(), arguments.end(),
                            [&](const ArgumentBaseline& a) { return a.argument == argument; });
  if (known == arguments.end()) {
    if (arguments.size() == TRACKED_ARGUMENTS) {
      known = std::min_element(arguments.begin(), arguments.end(),
                               [](const ArgumentBaseline& a, const ArgumentBaseline& b) {
                                 return a.lastAsked < b.lastAsked;
                               });
    } else {
      known = arguments.insert(arguments.end(), ArgumentBaseline{});
    }
    *known = ArgumentBaseline{std::string(argument), firstBaseline, 0};
  }
  known->lastAsked = questions;
  return known->baseline;
}

}  // namespace kelv
