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

}  // namespace kelv
