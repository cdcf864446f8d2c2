#pragma once

#include "kelv/options.h"
#include "lib/engine/io_thread.h"

namespace kelv {

class Recording;
class StopSignals;
struct RunSettings;

// Longest wait between two progress ticks, and the time threads get to finish after STOP.
constexpr int TICK_SECONDS = 5;
constexpr int STOP_TIMEOUT_SECONDS = 2;
// The request timeout of one-request mode when none is given, so that it always ends.
constexpr double ONE_REQUEST_TIMEOUT_SECONDS = 30;
// How often one-request mode looks whether its thread's loop has ended by itself, while it
// waits for a stop signal.
constexpr int FINISH_POLL_MILLIS = 10;

enum class ConfigureResult { OK, INPUT_FILE_UNREADABLE, TLS_CONTEXT_FAILED };

// The I/O thread count: one per processor when none was asked for, never more than the
// connections, and at least one.
int threadCount(int requested, int concurrency, int processors);
// Connections of thread `index`: an equal share, the first threads taking one extra
// each until the remainder is used up.
int connectionShare(int index, int concurrency, int numThreads);

// Fills in one I/O thread's configuration and its TLS context. On failure the reason is
// already on standard error and the thread must not be started.
ConfigureResult configureThread(int index, IOThread& thread, const Settings& settings);

// One phase of a timed run: its length, and what each tick shows.
struct Phase {
  int seconds = 0;
  bool warmup = false;
  bool quiet = false;  // no progress lines
};

// Waits out one phase, taking a tick at every TICK_SECONDS from its start and at its end; the
// progress line of each is printed unless the phase is quiet. The ticks keep to those times
// however long a tick takes. A stop signal ends the phase at once, without a tick; its number
// is returned, 0 when the phase ran to its end.
int runPhase(Recording& recording, const ThreadList& threads, const Phase& phase,
             StopSignals& signals);

// How the results describe the settings of this run.
RunSettings describeRun(const Settings& settings);

// The test from the first thread's start to the report. The target list is filled and
// settings.numThreads decided. Returns the exit status (exit_status.h).
int runDriver(const Settings& settings);

}  // namespace kelv
