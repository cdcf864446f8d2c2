// The arithmetic of the host, process and network figures, on texts laid out as the kernel
// writes them.
#include <gtest/gtest.h>

#include "lib/hoststats/host_cpu.h"
#include "lib/hoststats/net_stats.h"
#include "lib/hoststats/proc_files.h"
#include "lib/hoststats/process_stats.h"

namespace kelv {
namespace {

// user nice system idle iowait irq softirq steal guest guest_nice
constexpr const char* STAT_BEFORE =
    "cpu  1000 0 500 8000 500 0 0 0 0 0\n"
    "cpu0 500 0 250 4000 250 0 0 0 0 0\n"
    "cpu1 500 0 250 4000 250 0 0 0 0 0\n"
    "intr 774917 0 0 0\n"
    "ctxt 4429220\n";
constexpr const char* STAT_AFTER =
    "cpu  1600 0 600 8300 500 0 0 0 100 0\n"  // guest time is already in user
    "cpu0 1000 0 250 4000 200 0 0 0 100 0\n"  // cpu0: its iowait counter went backwards
    "cpu1 600 0 250 4300 250 0 0 0 0 0\n";

TEST(HostCpu, IdleAndIowaitAreNotBusy) {
  const HostCpuTimes before = parseProcStat(STAT_BEFORE);
  ASSERT_EQ(before.processors.size(), 2u);
  EXPECT_EQ(before.all.total, 10000);
  EXPECT_EQ(before.all.idle, 8500);
  // All: 1000 ticks passed, 300 of them idle.
  const HostBusy busy = hostBusy(before, parseProcStat(STAT_AFTER));
  EXPECT_DOUBLE_EQ(busy.all, 0.7);
  // cpu0's odd counters cannot give more than fully busy; cpu1 was 100 of 400 busy.
  EXPECT_DOUBLE_EQ(busy.busiest, 1.0);
  const HostCpuTimes after = parseProcStat(STAT_AFTER);
  EXPECT_DOUBLE_EQ(cpuTimesBusy(before.processors[1].times, after.processors[1].times), 0.25);
}

TEST(HostCpu, BusiestIsTheMaximumOfProcessorsInBothReadings) {
  const HostCpuTimes before = parseProcStat(
      "cpu 0 0 0 0 0 0 0 0\ncpu0 0 0 0 100 0 0 0 0\ncpu1 0 0 0 100 0\ncpu3 0 0 0 100\n");
  // cpu1 idle; cpu2 came online (no start); cpu3 went offline; an older kernel's short line.
  const HostCpuTimes after = parseProcStat(
      "cpu 120 0 0 280 0 0 0 0\ncpu0 60 0 0 140 0 0 0 0\ncpu1 0 0 0 200 0\ncpu2 100 0 0 0\n");
  const HostBusy busy = hostBusy(before, after);
  EXPECT_DOUBLE_EQ(busy.busiest, 0.6);
  EXPECT_DOUBLE_EQ(busy.all, 0.3);
  // No ticks at all: 0, not a division by zero.
  EXPECT_EQ(hostBusy(after, after).all, 0.0);
  EXPECT_EQ(hostBusy(after, after).busiest, 0.0);
  EXPECT_EQ(hostBusy(parseProcStat(""), parseProcStat("")).all, 0.0);
}

std::string statLine(int pid, const std::string& comm, int utime, int stime, int start, int rss) {
  return std::to_string(pid) + " (" + comm + ") S 1 1 1 0 -1 4194560 100 0 0 0 " +
         std::to_string(utime) + " " + std::to_string(stime) + " 0 0 20 0 1 0 " +
         std::to_string(start) + " 10000000 " + std::to_string(rss) + " 18446744073709551615\n";
}

TEST(ProcessStat, ReadsNameTimesStartAndResidentPages) {
  const auto process = parseProcessStat(statLine(4242, "we (ird) name", 70, 30, 5000, 256));
  ASSERT_TRUE(process);
  EXPECT_EQ(process->pid, 4242);
  EXPECT_EQ(process->comm, "we (ird) name");
  EXPECT_EQ(process->cpuTicks, 100);
  EXPECT_EQ(process->startTicks, 5000);
  EXPECT_EQ(process->rssPages, 256);
  // The kernel's own text of a real process.
  EXPECT_TRUE(parseProcessStat(
      "17886 (cat) R 17878 17878 8321 0 -1 4194304 100 0 0 0 0 0 0 0 20 0 1 0 310722 "
      "3133440 382 18446744073709551615 93841407819776 0"));
  for (const char* broken : {"", "12 cat S 1", "x (cat) S 1 1 1 0 -1 0 0 0 0 0 1 1",
                             "12 (cat) S 1 1 1 0 -1 0 0 0 0 0 1 1 0 0 20 0 1 0"}) {
    EXPECT_FALSE(parseProcessStat(broken)) << broken;
  }
}

TEST(ProcessSelector, NameOrNumber) {
  ProcessStat worker{31, "nginx", 0, 0, 0};
  EXPECT_TRUE(ProcessSelector::FromArgument("nginx").Matches(worker));
  EXPECT_FALSE(ProcessSelector::FromArgument("nginx:").Matches(worker));
  EXPECT_FALSE(ProcessSelector::FromArgument("NGINX").Matches(worker));
  EXPECT_TRUE(ProcessSelector::FromArgument("31").Matches(worker));
  EXPECT_FALSE(ProcessSelector::FromArgument("3").Matches(worker));
  // The kernel keeps 15 bytes of a name.
  ProcessStat journal{7, "systemd-journal", 0, 0, 0};
  EXPECT_TRUE(ProcessSelector::FromArgument("systemd-journald").Matches(journal));
  // Numbers no process has match nothing, not every process.
  EXPECT_FALSE(ProcessSelector::FromArgument("0").Matches(ProcessStat{}));
  EXPECT_FALSE(ProcessSelector::FromArgument("99999999999999999999").Matches(ProcessStat{}));
}

TEST(ProcessFigures, CpuSinceTheBaselineAndResidentSum) {
  // Master 10 and worker 11 known at 1000 ticks; 12 was there already but not known; 13 reused
  // the number of a process that ended; 14 started in the interval.
  const ProcessBaseline since =
      processBaseline({ProcessStat{11, "w", 400, 900, 0}, ProcessStat{10, "m", 50, 100, 0},
                       ProcessStat{13, "old", 900, 200, 0}},
                      1000);
  const std::vector<ProcessStat> now = {
      ProcessStat{10, "m", 60, 100, 10}, ProcessStat{11, "w", 590, 900, 20},
      ProcessStat{12, "w", 5000, 800, 30}, ProcessStat{13, "w", 40, 1100, 40},
      ProcessStat{14, "w", 30, 1050, 50}};
  // 200 ticks passed: 10 + 190 + 0 + 40 + 30 used.
  const ProcessFigures figures = processFigures(since, now, 1200, 4096);
  EXPECT_DOUBLE_EQ(figures.busy, 270.0 / 200.0);
  EXPECT_DOUBLE_EQ(figures.residentMiB, 150.0 * 4096 / 1048576);
  // No time passed, or no baseline time: no CPU figure; the memory is still there.
  EXPECT_EQ(processFigures(since, now, 1000, 4096).busy, 0.0);
  EXPECT_EQ(processFigures(ProcessBaseline{}, now, 1200, 4096).busy, 0.0);
}

TEST(NetDev, BytesPerSecondWithoutLoopback) {
  constexpr const char* HEADING =
      "Inter-|   Receive                                                |  Transmit\n"
      " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets "
      "errs drop fifo colls carrier compressed\n";
  const std::vector<InterfaceBytes> before =
      parseNetDev(std::string(HEADING) +
                  "    lo: 1067362313 7710693 0 0 0 0 0 0 1067362313 7710693 0 0 0 0 0 0\n"
                  "  eth0: 1000 10 0 0 0 0 0 0 500 5 0 0 0 0 0 0\n"
                  "  eth1: 7000 10 0 0 0 0 0 0 7000 5 0 0 0 0 0 0\n"
                  "  gone: 1 1 0 0 0 0 0 0 1 1 0 0 0 0 0 0\n");
  ASSERT_EQ(before.size(), 3u);
  EXPECT_EQ(before[0].name, "eth0");
  EXPECT_EQ(before[0].received, 1000);
  EXPECT_EQ(before[0].sent, 500);
  const std::vector<InterfaceBytes> after =
      parseNetDev(std::string(HEADING) +
                  "    lo: 9067362313 9710693 0 0 0 0 0 0 9067362313 9710693 0 0 0 0 0 0\n"
                  "  eth0: 5000 10 0 0 0 0 0 0 2500 5 0 0 0 0 0 0\n"
                  "  eth1: 100 10 0 0 0 0 0 0 200 5 0 0 0 0 0 0\n"  // reset
                  "  veth9: 900 1 0 0 0 0 0 0 300 1 0 0 0 0 0 0\n"  // came up
                  "  short: 900 1 0 0\n");
  // Over 2 seconds (200 ticks of 100 a second): eth0 4000 + 2000, eth1 100 + 200, veth9 all.
  const NetRates rates = netRates(before, after, 200, 100);
  EXPECT_EQ(rates.receivedPerSecond, (4000 + 100 + 900) / 2);
  EXPECT_EQ(rates.sentPerSecond, (2000 + 200 + 300) / 2);
  EXPECT_EQ(netRates(before, after, 0, 100).receivedPerSecond, 0);
}

TEST(ProcFiles, UptimeInTicksAndCounts) {
  EXPECT_EQ(parseUptimeTicks("3107.22 4946.81\n", 100), 310722);
  EXPECT_EQ(parseUptimeTicks("12.5 1.0", 1000), 12500);
  EXPECT_EQ(parseUptimeTicks("7", 100), 700);
  EXPECT_EQ(parseUptimeTicks("", 100), -1);
  EXPECT_EQ(parseUptimeTicks("99999999999999999", 100), -1);  // would overflow
  std::string_view text = "  42 -3";
  EXPECT_EQ(takeCount(text), 42);
  EXPECT_EQ(takeCount(text), -1);
  EXPECT_EQ(text, " -3");
}

}  // namespace
}  // namespace kelv
