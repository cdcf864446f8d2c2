#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/engine/io_thread.h"

namespace kelv {

// The final figures of a recording period.
struct Results {
  int32_t attempted = 0;
  int32_t successful = 0;
  int32_t unsuccessful = 0;
  int32_t socketErrors = 0;
  int32_t connectionsOpened = 0;
  int64_t bytesWritten = 0;
  int64_t bytesRead = 0;
  double elapsedSeconds = 0;
  double averageLatency = 0;  // milliseconds
  double latencyStdDev = 0;   // milliseconds
  std::array<double, 101> latencyPercent{};  // [0] minimum, [100] maximum, milliseconds
  double throughput = 0;        // requests per second
  double sendBandwidth = 0;     // megabits (2^20 bits) per second
  double receiveBandwidth = 0;  // megabits (2^20 bits) per second
};

// The figures of one progress interval.
struct IntervalResults {
  int32_t successful = 0;
  double elapsedSeconds = 0;
  double intervalSeconds = 0;
  double intervalThroughput = 0;
};

void setMonitors(const std::string& host1, const std::string& host2);
void recordingStart(const ThreadList& threads);
void recordingSample();
IntervalResults recordingInterval(const ThreadList& threads);
void recordingStop(const ThreadList& threads);
Results computeResults();
void closeMonitors();

}  // namespace kelv
