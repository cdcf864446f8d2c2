#include "kelv/driver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <utility>

#include "kelv/exit_status.h"
#include "kelv/input_file.h"
#include "kelv/result_output.h"
#include "kelv/stop_signals.h"
#include "kelv/tls_context.h"
#include "lib/engine/failures.h"
#include "lib/reporting/measurement.h"
#include "lib/reporting/recording.h"
#include "lib/reporting/report.h"
#include "lib/util/clock.h"
#include "lib/util/wall_time.h"

namespace kelv {
namespace {

constexpr int64_t NANOS_PER_SECOND = 1000000000;
constexpr int64_t NANOS_PER_MILLI = 1000000;

const char* requestMethod(const Settings& settings) {
  if (!settings.method.empty()) return settings.method.c_str();
  return settings.inputFile.empty() ? "GET" : "POST";
}

// The first error of each kind is shown once for the whole run, whichever thread meets it.
FailureNotices& runFailureNotices() {
  static FailureNotices notices;
  return notices;
}

int64_t requestTimeoutNanos(const Settings& settings) {
  double seconds = settings.timeoutSeconds;
  if (seconds <= 0 && settings.oneRequest) seconds = ONE_REQUEST_TIMEOUT_SECONDS;
  return std::llround(seconds * 1e9);
}

TlsContextOptions tlsOptions(const Settings& settings) {
  TlsContextOptions options;
  options.verifyPeer = settings.verifyPeer;
  options.caFile = settings.caFile;
  options.cipherList = settings.cipherList;
  options.verbose = settings.verbose;
  return options;
}

// Every thread in the list has been started. Destroying a joinable thread would end the
// program, so each is stopped and joined first.
void stopAndJoin(const ThreadList& threads) {
  for (const auto& thread : threads) thread->RequestStop(STOP_TIMEOUT_SECONDS);
  for (const auto& thread : threads) thread->Join();
}

// A loop that cannot be created, or a thread the system refuses (too many, no memory for its
// stack), ends the run with a message instead of leaving the thread idle or ending the program.
bool startThread(IOThread& thread) {
  const Status started = thread.Start();
  if (!started.ok()) std::fprintf(stderr, "%s\n", started.message.c_str());
  return started.ok();
}

// Configures the next thread and adds it to the list; false when it could not be configured.
bool addConfiguredThread(ThreadList& threads, const Settings& settings) {
  auto thread = std::make_unique<IOThread>();
  const int index = static_cast<int>(threads.size());
  if (configureThread(index, *thread, settings) != ConfigureResult::OK) return false;
  threads.push_back(std::move(thread));
  return true;
}

// Configures every thread without starting any; false when one could not be configured.
bool configureThreads(ThreadList& threads, const Settings& settings) {
  while (static_cast<int>(threads.size()) < settings.numThreads) {
    if (!addConfiguredThread(threads, settings)) return false;
  }
  return true;
}

// A rate's schedule starts a moment after the threads are started, so that the first
// requests of every thread are due once its loop can run.
constexpr int64_t SCHEDULE_LEAD_NANOS = 5 * NANOS_PER_MILLI;

// Every thread follows one schedule that starts once all of them are configured (a TLS
// context can take a while), so that each one runs from the first slot.
void setSchedule(const ThreadList& threads, const Settings& settings) {
  const SendSchedule schedule(timeNow() + SCHEDULE_LEAD_NANOS, settings.rate, settings.concurrency);
  for (const auto& thread : threads) {
    thread->schedule = schedule;
    thread->scheduleThreads = settings.numThreads;
  }
}

// Starts the threads in order, configuring each that is not yet right before its start, so
// that a thread the system refuses ends the run before the others take their memory. False
// when one could not be configured or started; those before it then run.
bool startThreads(ThreadList& threads, const Settings& settings) {
  for (size_t i = 0; static_cast<int>(i) < settings.numThreads; ++i) {
    if (i == threads.size() && !addConfiguredThread(threads, settings)) return false;
    if (!startThread(*threads[i])) return false;
  }
  return true;
}

// Waits for --start-at, if given; the stop signal that came first, or 0.
int waitForStartTime(const Settings& settings, StopSignals& signals) {
  std::fprintf(stderr, "Starting at %s\n", isoTimeMillis(settings.startAtWall).c_str());
  return signals.WaitUntil(timeNow() + (settings.startAtWall - wallClockNow()));
}

int totalConnections(const ThreadList& threads) {
  int total = 0;
  for (const auto& thread : threads) total += thread->numConnections;
  return total;
}

MonitorTargets monitorTargets(const Settings& settings) {
  return MonitorTargets{settings.monitorHost1, settings.monitorHost2, settings.monitorProcess};
}

// The results of the run, reported; the monitors are let go afterwards. False when the
// result file could not be written.
bool report(Recording& recording, const Settings& settings, int stopSignal) {
  Measurement measured = recording.Result();
  measured.settings = describeRun(settings);
  measured.stopSignal = stopSignal;
  const bool written = writeResults(measured, settings);
  std::cout.flush();
  recording.CloseMonitors();
  return written;
}

// The status of a run that was measured, once it is reported.
int measuredExitStatus(const Recording& recording, int stopSignal, bool written) {
  if (!written) return EXIT_STATUS_OUTPUT_FAILED;
  if (stopSignal != 0) return EXIT_STATUS_SIGNAL_BASE + stopSignal;
  return recording.Successful() > 0 ? EXIT_STATUS_OK : EXIT_STATUS_NO_SUCCESS;
}

// Progress lines would mix into the CSV line or the JSON on standard output.
bool quietProgress(const Settings& settings) {
  return settings.csvOutput || settings.JsonOnStandardOutput();
}

// The measured run; the signal that ended it early, or 0.
int runMeasured(Recording& recording, const ThreadList& threads, const Settings& settings,
                StopSignals& signals) {
  // Throws away everything counted so far, warm-up included.
  recording.Start(threads);
  const int stopSignal =
      runPhase(recording, threads, {settings.durationSeconds, false, quietProgress(settings)}, signals);
  // The measured period ends before the threads are told to stop: their last requests
  // are not counted.
  recording.Stop(threads);
  stopAndJoin(threads);
  return stopSignal;
}

// After a signal in the warm-up nothing is counted: the measured period is taken once the
// threads have stopped, so that it is empty.
void recordEmptyPeriod(Recording& recording, const ThreadList& threads) {
  stopAndJoin(threads);
  recording.Start(threads);
  recording.Stop(threads);
}

int runTimed(const Settings& settings) {
  // Until here a stop signal ends the program at once, with nothing to report; from the
  // first thread on it ends the run with a report.
  StopSignals signals;
  ThreadList threads;
  // A start time or a send schedule finds every thread configured, its TLS context included.
  if (settings.startAtWall != 0 || settings.rate > 0) {
    if (!configureThreads(threads, settings)) return EXIT_STATUS_START_FAILED;
  }
  if (settings.startAtWall != 0) {
    if (const int got = waitForStartTime(settings, signals)) return EXIT_STATUS_SIGNAL_BASE + got;
  }
  if (settings.rate > 0) setSchedule(threads, settings);
  if (!startThreads(threads, settings)) {
    stopAndJoin(threads);
    return EXIT_STATUS_START_FAILED;
  }
  Recording recording(monitorTargets(settings));
  recording.SetSchedule(threads.front()->schedule);
  int stopSignal = 0;
  if (settings.warmupSeconds > 0) {
    recording.Start(threads, true);
    stopSignal =
        runPhase(recording, threads, {settings.warmupSeconds, true, quietProgress(settings)}, signals);
  }
  if (stopSignal != 0) {
    recordEmptyPeriod(recording, threads);
  } else {
    stopSignal = runMeasured(recording, threads, settings, signals);
  }
  threads.clear();
  const bool written = report(recording, settings, stopSignal);
  return measuredExitStatus(recording, stopSignal, written);
}

// Waits until the thread's loop has ended by itself or a stop signal came; the signal, or 0.
int waitForLoopEnd(const IOThread& thread, StopSignals& signals) {
  while (!thread.Finished()) {
    if (const int got = signals.WaitUntil(timeNow() + FINISH_POLL_MILLIS * NANOS_PER_MILLI)) {
      return got;
    }
  }
  return 0;
}

// One thread, with the share of thread 0, sends one request per connection and its loop
// ends by itself.
int runOneRequest(const Settings& settings) {
  auto thread = std::make_unique<IOThread>();
  if (configureThread(0, *thread, settings) != ConfigureResult::OK) {
    return EXIT_STATUS_START_FAILED;
  }
  StopSignals signals;
  if (settings.startAtWall != 0) {
    if (const int got = waitForStartTime(settings, signals)) return EXIT_STATUS_SIGNAL_BASE + got;
  }
  ThreadList threads;
  threads.push_back(std::move(thread));
  Recording recording(monitorTargets(settings));
  recording.Start(threads);
  if (!startThread(*threads.front())) return EXIT_STATUS_START_FAILED;
  const int stopSignal = waitForLoopEnd(*threads.front(), signals);
  recording.Stop(threads);
  if (stopSignal != 0) threads.front()->RequestStop(STOP_TIMEOUT_SECONDS);
  threads.front()->Join();
  threads.clear();
  const bool written = report(recording, settings, stopSignal);
  return measuredExitStatus(recording, stopSignal, written);
}

}  // namespace

int threadCount(int requested, int concurrency, int processors) {
  int count = requested > 0 ? requested : processors;
  count = std::min(count, concurrency);
  return std::max(count, 1);
}

int connectionShare(int index, int concurrency, int numThreads) {
  return concurrency / numThreads + (index < concurrency % numThreads ? 1 : 0);
}

ConfigureResult configureThread(int index, IOThread& thread, const Settings& settings) {
  if (!settings.inputFile.empty() &&
      readInputFile(settings.inputFile, thread.sendData) != InputFileResult::OK) {
    return ConfigureResult::INPUT_FILE_UNREADABLE;
  }
  thread.method = requestMethod(settings);
  thread.index = index;
  thread.numConnections = connectionShare(index, settings.concurrency, settings.numThreads);
  thread.verbose = settings.verbose;
  thread.keepRunning = settings.oneRequest ? -1 : 1;
  thread.cipherList = settings.cipherList;
  thread.headers = &settings.headerLines;
  thread.headerFlags = settings.headerFlags;
  thread.thinkTime = static_cast<uint32_t>(settings.thinkTime);  // never negative here
  thread.noKeepAlive = settings.keepAlive != -1 ? 1 : 0;
  thread.oauth = settings.OAuth();
  thread.requestTimeout = requestTimeoutNanos(settings);
  thread.failureNotices = &runFailureNotices();
  return makeTlsContext(tlsOptions(settings), thread.sslCtx) == TlsContextResult::OK
             ? ConfigureResult::OK
             : ConfigureResult::TLS_CONTEXT_FAILED;
}

int runPhase(Recording& recording, const ThreadList& threads, const Phase& phase,
             StopSignals& signals) {
  const int64_t start = timeNow();
  for (int done = 0; done < phase.seconds;) {
    done = std::min(done + TICK_SECONDS, phase.seconds);
    if (const int got = signals.WaitUntil(start + done * NANOS_PER_SECOND)) return got;
    // Without progress lines the timeline still has every tick.
    if (phase.quiet) {
      static_cast<void>(recording.Tick(threads));
    } else {
      printProgress(std::cout, recording, threads, phase.seconds);
    }
    const std::string warning = recording.TakeCapacityWarning(totalConnections(threads));
    if (!warning.empty()) std::fprintf(stderr, "%s\n", warning.c_str());
  }
  return 0;
}

RunSettings describeRun(const Settings& settings) {
  RunSettings run;
  const bool fromFile = !settings.url.empty() && settings.url.front() == '@';
  (fromFile ? run.urlFile : run.url) = fromFile ? settings.url.substr(1) : settings.url;
  run.method = requestMethod(settings);
  run.connections = settings.concurrency;
  run.threads = settings.numThreads;
  run.durationSeconds = settings.durationSeconds;
  run.warmupSeconds = settings.warmupSeconds;
  run.keepAlive = settings.keepAlive == -1;
  run.thinkTimeMillis = settings.thinkTime;
  run.timeoutSeconds = secondsFromNanos(requestTimeoutNanos(settings));
  run.rate = settings.rate;
  run.name = settings.runName;
  run.oneRequest = settings.oneRequest;
  run.monitor1 = settings.monitorHost1;
  run.monitor2 = settings.monitorHost2;
  run.monitorProcess = settings.monitorProcess;
  return run;
}

int runDriver(const Settings& settings) {
  return settings.oneRequest ? runOneRequest(settings) : runTimed(settings);
}

}  // namespace kelv
