#pragma once

#include <cstdint>
#include <string>

#include "lib/engine/io_thread.h"
#include "lib/hoststats/host_stats.h"
#include "lib/reporting/statistics.h"

namespace kelv {

// The figures of one progress interval.
struct IntervalResults {
  int32_t successful = 0;         // successful responses handed over in this interval
  double elapsedSeconds = 0;      // since the recording period started
  double intervalSeconds = 0;     // since the previous tick, or the start
  double intervalThroughput = 0;  // successful / intervalSeconds
  LatencyHistogram latencies;     // the samples handed over in this interval
};

// The samples one tick takes: the first monitor's reply (0 when it is not connected or the
// query failed) and the client's CPU busy fraction.
struct TickSamples {
  double remoteCpu1 = 0;
  double clientCpu = 0;
};

// The run-wide recording, used from the main thread only. Each recordingStart discards
// everything gathered before, the threads' counts included, and (re)connects the monitors.
void setMonitors(const std::string& host1, const std::string& host2);
// The processes (a name or a number) each monitor is asked about at every tick; empty: none.
void setMonitorProcess(const std::string& nameOrPid);
void recordingStart(const ThreadList& threads);
void recordingSample();
// What recordingSample does, with the samples it took: one CPU reply of each connected
// monitor, the first before the second; then each one's host figures (and those of the chosen
// processes) unless it has shown that it does not know them; then the client's CPU; each
// appended to its series. A tick whose interval holds no clock tick of the client's CPU time
// adds to no series that already has a sample: over so short a time the figures read 0 (or a
// whole processor). The client's interval then goes on into the next tick.
TickSamples recordingTakeSamples();
IntervalResults recordingInterval(const ThreadList& threads);
void recordingStop(const ThreadList& threads);
// The same figures every time after recordingStop, until the next recordingStart.
Results computeResults();
// The successful responses handed over so far in the period: all of them after recordingStop.
int64_t recordingSuccessful();
// The CPU series and memory figures of the latest recording period.
const HostFigures& hostFigures();
void closeMonitors();

// Where the client's CPU readings come from; null restores times(2). Lets tests decide how
// many clock ticks pass between two samples.
void setCpuReaderForTest(CpuReading (*reader)());

}  // namespace kelv
