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
#include "kelv/stop_signals.h"
#include "kelv/tls_context.h"
#include "lib/engine/failures.h"
#include "lib/reporting/measurement.h"
#include "lib/reporting/recording.h"
#include "lib/reporting/report.h"
#include "lib/util/clock.h"

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

// Starts each thread right after its own configuration. False when one could not be
// configured or started; the threads started before it are then still in the list.
bool startThreads(ThreadList& threads, const Settings& settings) {
  for (int i = 0; i < settings.numThreads; ++i) {
    auto thread = std::make_unique<IOThread>();
    if (configureThread(i, *thread, settings) != ConfigureResult::OK) return false;
    if (!startThread(*thread)) return false;
    threads.push_back(std::move(thread));
  }
  return true;
}

// A rate's schedule starts a moment after the threads are started, so that the first
// requests of every thread are due once its loop can run.
constexpr int64_t SCHEDULE_LEAD_NANOS = 5 * NANOS_PER_MILLI;

// On a send schedule every thread is configured (its TLS context can take a while) before
// the schedule starts, so that each one runs from the first slot, then they are started.
bool startPacedThreads(ThreadList& threads, const Settings& settings) {
  ThreadList configured;
  for (int i = 0; i < settings.numThreads; ++i) {
    configured.push_back(std::make_unique<IOThread>());
    if (configureThread(i, *configured.back(), settings) != ConfigureResult::OK) return false;
  }
  const SendSchedule schedule(timeNow() + SCHEDULE_LEAD_NANOS, settings.rate, settings.concurrency);
  for (auto& thread : configured) {
    thread->schedule = schedule;
    thread->scheduleThreads = settings.numThreads;
    if (!startThread(*thread)) return false;
    threads.push_back(std::move(thread));
  }
  return true;
}

int totalConnections(const ThreadList& threads) {
  int total = 0;
  for (const auto& thread : threads) total += thread->numConnections;
  return total;
}

MonitorTargets monitorTargets(const Settings& settings) {
  return MonitorTargets{settings.monitorHost1, settings.monitorHost2, settings.monitorProcess};
}

// The results of the run, reported; the monitors are let go afterwards.
void report(Recording& recording, const Settings& settings, int stopSignal) {
  Measurement measured = recording.Result();
  measured.settings = describeRun(settings);
  measured.stopSignal = stopSignal;
  if (settings.csvOutput) {
    printCsvLine(std::cout, measured);
  } else {
    printTextReport(std::cout, measured);
  }
  std::cout.flush();
  recording.CloseMonitors();
}

// The status of a run that was measured and reported.
int measuredExitStatus(const Recording& recording, int stopSignal) {
  if (stopSignal != 0) return EXIT_STATUS_SIGNAL_BASE + stopSignal;
  return recording.Successful() > 0 ? EXIT_STATUS_OK : EXIT_STATUS_NO_SUCCESS;
}

// The measured run; the signal that ended it early, or 0.
int runMeasured(Recording& recording, const ThreadList& threads, const Settings& settings,
                StopSignals& signals) {
  // Throws away everything counted so far, warm-up included.
  recording.Start(threads);
  const int stopSignal =
      runPhase(recording, threads, {settings.durationSeconds, false, settings.csvOutput}, signals);
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
  if (!(settings.rate > 0 ? startPacedThreads(threads, settings)
                          : startThreads(threads, settings))) {
    stopAndJoin(threads);
    return EXIT_STATUS_START_FAILED;
  }
  Recording recording(monitorTargets(settings));
  recording.SetSchedule(threads.front()->schedule);
  int stopSignal = 0;
  if (settings.warmupSeconds > 0) {
    recording.Start(threads, true);
    stopSignal =
        runPhase(recording, threads, {settings.warmupSeconds, true, settings.csvOutput}, signals);
  }
  if (stopSignal != 0) {
    recordEmptyPeriod(recording, threads);
  } else {
    stopSignal = runMeasured(recording, threads, settings, signals);
  }
  threads.clear();
  report(recording, settings, stopSignal);
  return measuredExitStatus(recording, stopSignal);
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
  report(recording, settings, stopSignal);
  return measuredExitStatus(recording, stopSignal);
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
    // The CSV line shows no progress, but the timeline has every tick.
    if (phase.csvOutput) {
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
