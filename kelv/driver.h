#pragma once

#include "kelv/options.h"
#include "lib/engine/io_thread.h"

namespace kelv {

// Longest wait between two progress ticks, and the time threads get to finish after STOP.
constexpr int TICK_SECONDS = 5;
constexpr int STOP_TIMEOUT_SECONDS = 2;
// The request timeout of one-request mode when none is given, so that it always ends.
constexpr double ONE_REQUEST_TIMEOUT_SECONDS = 30;

// Results of configureThread besides the TLS set-up's own (TLS_* in tls_context.h).
constexpr int CONFIGURE_OK = 0;
constexpr int CONFIGURE_INPUT_FILE_FAILED = 3;

// The I/O thread count: one per processor when none was asked for, never more than the
// connections, and at least one.
int threadCount(int requested, int concurrency, int processors);
// Connections of thread `index`: an equal share, the first threads taking one extra
// each until the remainder is used up.
int connectionShare(int index, int concurrency, int numThreads);

// Fills in one I/O thread's configuration and its TLS context. 0 on success; otherwise
// the reason is already on standard error and the thread must not be started.
int configureThread(int index, IOThread& thread, const Settings& settings);

// Waits out one phase in steps of at most TICK_SECONDS, taking a tick after each step.
void runPhase(const ThreadList& threads, int seconds, bool warmup, bool csvOutput);

// The test from the first thread's start to the report. The target list is filled and
// settings.numThreads decided. Returns the exit status (always 0).
int runDriver(const Settings& settings);

}  // namespace kelv
