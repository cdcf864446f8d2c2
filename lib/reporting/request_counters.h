#pragma once

#include <atomic>
#include <cstdint>

#include "lib/reporting/latency_histogram.h"

namespace kelv {

// One I/O thread's counts for one counting period. Written only by the thread whose
// current record it is; handed to the reporting by IOThread::SwapCounters.
struct RequestCounters {
  int32_t successful = 0;    // complete responses with a status from 200 to 299
  int32_t unsuccessful = 0;  // complete responses with any other status
  uint64_t bytesRead = 0;
  uint64_t bytesWritten = 0;
  LatencyHistogram latencies;  // one sample per complete response, nanoseconds
};

// Run-wide counting state. While `recording` is false the two record functions do nothing.
extern std::atomic<bool> recording;
extern std::atomic<int32_t> connectionsOpened;
extern std::atomic<int32_t> socketErrors;

void recordConnectionOpened();
void recordSocketError();

}  // namespace kelv
