#pragma once

#include <cstdint>
#include <string_view>

namespace kelv {

// The previous CPU sample of one observer, in clock ticks of times(2).
struct CpuSample {
  int64_t ticks = 0;     // elapsed real time
  int64_t cpuTicks = 0;  // user + system time of this process
};

// 0 when CPU sampling is available (always, here).
int cpuSamplingCheck();
int processorCount();
void cpuSampleStart(CpuSample& usage);
// The busy fraction since the previous sample of the same record, busy / (elapsed + busy).
double cpuSampleBusy(CpuSample& usage);
// The fraction of physical memory in use now, from /proc/meminfo.
double memoryUseFraction();

// The arithmetic behind the functions above, as functions of values so that it can be
// checked without the real clock or /proc.

// One reading of times(2); ok is false when the call failed.
struct CpuReading {
  bool ok = false;
  int64_t ticks = 0;
  int64_t cpuTicks = 0;
};

CpuReading readCpuTimes();
// Starts an interval at the reading; a failed reading leaves the record as it was.
void cpuSampleStartAt(CpuSample& usage, const CpuReading& now);
// Ends the interval at the reading and starts the next one there; a failed reading gives 0.0
// and leaves the record as it was, so the next good reading measures from the last good one.
double cpuSampleBusyAt(CpuSample& usage, const CpuReading& now);
// busy / (elapsed + busy), 0.0 when both are 0.
double busyFraction(int64_t elapsedTicks, int64_t busyTicks);

// The /proc/meminfo figures the memory fraction needs, in KiB; a missing field is 0.
struct MemInfo {
  int64_t totalKiB = 0;     // MemTotal
  int64_t freeKiB = 0;      // MemFree
  int64_t buffersKiB = 0;   // Buffers
  int64_t inactiveKiB = 0;  // Inactive
};

MemInfo parseMemInfo(std::string_view text);
// (total - free - buffers - inactive) / total; 0.0 when total or free is 0 or less. The
// result can be negative and is returned as computed.
double memoryFraction(const MemInfo& info);

}  // namespace kelv
