#include "lib/hoststats/host_stats.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

namespace kelv {
namespace {

CpuReading reading(int64_t ticks, int64_t cpuTicks) { return CpuReading{true, ticks, cpuTicks}; }

TEST(CpuSample, TwoSamplesInOneTickGiveZero) {
  CpuSample usage;
  cpuSampleStartAt(usage, reading(1000, 70));
  EXPECT_EQ(cpuSampleBusyAt(usage, reading(1000, 70)), 0.0);
  EXPECT_EQ(cpuSampleBusyAt(usage, reading(1000, 70)), 0.0);
}

TEST(CpuSample, DividesBusyTicksByElapsedPlusBusy) {
  CpuSample usage;
  cpuSampleStartAt(usage, reading(1000, 70));
  EXPECT_EQ(cpuSampleBusyAt(usage, reading(1100, 70)), 0.0);   // idle
  EXPECT_EQ(cpuSampleBusyAt(usage, reading(1200, 170)), 0.5);  // one processor busy
  EXPECT_DOUBLE_EQ(cpuSampleBusyAt(usage, reading(1300, 570)), 0.8);  // four processors
  EXPECT_EQ(usage.ticks, 1300);
  EXPECT_EQ(usage.cpuTicks, 570);
}

TEST(CpuSample, FailedReadingKeepsTheRecord) {
  CpuSample usage;
  cpuSampleStartAt(usage, reading(500, 20));
  EXPECT_EQ(cpuSampleBusyAt(usage, CpuReading{}), 0.0);
  EXPECT_EQ(usage.ticks, 500);
  EXPECT_EQ(usage.cpuTicks, 20);
  // The next good reading measures from the last good one: 100 elapsed, 25 busy.
  EXPECT_DOUBLE_EQ(cpuSampleBusyAt(usage, reading(600, 45)), 25.0 / 125.0);

  cpuSampleStartAt(usage, CpuReading{});
  EXPECT_EQ(usage.ticks, 600);
  EXPECT_EQ(usage.cpuTicks, 45);
}

TEST(CpuSample, MeasuresThisProcessBurningCpu) {
  CpuSample usage;
  cpuSampleStart(usage);
  const CpuReading start = readCpuTimes();
  ASSERT_TRUE(start.ok);
  // Spin until this thread has used a clear number of ticks (bounded in wall time).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  volatile uint64_t sink = 0;
  while (readCpuTimes().cpuTicks - start.cpuTicks < 20 &&
         std::chrono::steady_clock::now() < deadline) {
    for (int i = 0; i < 100000; ++i) sink = sink + static_cast<uint64_t>(i);
  }
  const double busy = cpuSampleBusy(usage);
  EXPECT_GE(usage.cpuTicks, start.cpuTicks + 20);
  // One thread never uses more ticks than elapse, so at most about half; how much less
  // depends on the other load of the host.
  EXPECT_GT(busy, 0.0);
  EXPECT_LT(busy, 0.6);
}

TEST(MemInfo, FractionOfTotalInUse) {
  EXPECT_DOUBLE_EQ(memoryFraction(MemInfo{1000, 250, 50, 100}), 0.6);
  EXPECT_EQ(memoryFraction(MemInfo{1000, 0, 50, 100}), 0.0);  // not 1.0
  EXPECT_EQ(memoryFraction(MemInfo{1000, -5, 0, 0}), 0.0);
  EXPECT_EQ(memoryFraction(MemInfo{0, 250, 0, 0}), 0.0);
  EXPECT_EQ(memoryFraction(MemInfo{-1000, 250, 0, 0}), 0.0);
  // More free, buffer and inactive memory than there is: returned as computed.
  EXPECT_DOUBLE_EQ(memoryFraction(MemInfo{1000, 800, 300, 400}), -0.5);
}

TEST(MemInfo, ParsesTheFourFieldsByExactName) {
  const MemInfo info = parseMemInfo(
      "MemTotal:       24683752 kB\n"
      "MemFree:        24517112 kB\n"
      "MemAvailable:   24442844 kB\n"
      "Buffers:             392 kB\n"
      "Active(file):      17540 kB\n"
      "Inactive(anon):     9612 kB\n"
      "Inactive:          21376 kB\n"
      "Inactive(file):    11764 kB\n");
  EXPECT_EQ(info.totalKiB, 24683752);
  EXPECT_EQ(info.freeKiB, 24517112);
  EXPECT_EQ(info.buffersKiB, 392);
  EXPECT_EQ(info.inactiveKiB, 21376);
}

TEST(MemInfo, MissingOrBrokenFieldsCountAsZero) {
  const MemInfo info = parseMemInfo(
      "MemTotal: 1000 kB\n"
      "garbage without colon\n"
      "Buffers: kB\n"
      "Inactive:\n"
      "MemFree:\t\t 250");  // last line without a line end
  EXPECT_EQ(info.totalKiB, 1000);
  EXPECT_EQ(info.freeKiB, 250);
  EXPECT_EQ(info.buffersKiB, 0);
  EXPECT_EQ(info.inactiveKiB, 0);

  const MemInfo empty = parseMemInfo("");
  EXPECT_EQ(empty.totalKiB, 0);
  EXPECT_EQ(memoryFraction(empty), 0.0);
  // A number too large for 64 bits is not a number.
  EXPECT_EQ(parseMemInfo("MemTotal: 99999999999999999999999 kB\n").totalKiB, 0);
}

TEST(MemInfo, HostFractionMatchesTheFile) {
  std::ifstream file("/proc/meminfo");
  ASSERT_TRUE(file.good());
  std::stringstream text;
  text << file.rdbuf();
  const MemInfo info = parseMemInfo(text.str());
  ASSERT_GT(info.totalKiB, 0);
  ASSERT_GT(info.freeKiB, 0);
  // Memory use moves a little between the two readings, never by a tenth of the host.
  EXPECT_NEAR(memoryUseFraction(), memoryFraction(info), 0.1);
  EXPECT_NE(memoryUseFraction(), 0.0);
}

}  // namespace
}  // namespace kelv
