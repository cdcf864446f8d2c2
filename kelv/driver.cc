#include "kelv/driver.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <system_error>
#include <utility>

#include "kelv/input_file.h"
#include "kelv/tls_context.h"
#include "lib/engine/failures.h"
#include "lib/reporting/recording.h"
#include "lib/reporting/report.h"

namespace kelv {
namespace {

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

// The system may refuse another thread (too many, no memory for its stack): that ends the
// run with a message instead of ending the program.
bool startThread(IOThread& thread) {
  try {
    thread.Start();
  } catch (const std::system_error& error) {
    std::fprintf(stderr, "Cannot start I/O thread %d: %s\n", thread.index, error.what());
    return false;
  }
  return true;
}

// Starts each thread right after its own configuration. False when one could not be
// configured; the threads started before it are then still in the list.
bool startThreads(ThreadList& threads, const Settings& settings) {
  for (int i = 0; i < settings.numThreads; ++i) {
    auto thread = std::make_unique<IOThread>();
    if (configureThread(i, *thread, settings) != CONFIGURE_OK) return false;
    if (!startThread(*thread)) return false;
    threads.push_back(std::move(thread));
  }
  return true;
}

void printReport(const Settings& settings) {
  if (settings.csvOutput) {
    printCsvLine(std::cout, settings.runName, settings.numThreads, settings.concurrency);
  } else {
    printTextReport(std::cout);
  }
  std::cout.flush();
  closeMonitors();
}

int runTimed(const Settings& settings) {
  ThreadList threads;
  if (!startThreads(threads, settings)) {
    stopAndJoin(threads);
    return 0;
  }
  if (settings.warmupSeconds > 0) {
    recordingStart(threads);
    runPhase(threads, settings.warmupSeconds, true, settings.csvOutput);
  }
  // Throws away everything counted so far, warm-up included.
  recordingStart(threads);
  runPhase(threads, settings.durationSeconds, false, settings.csvOutput);
  // The measured period ends before the threads are told to stop: their last requests
  // are not counted.
  recordingStop(threads);
  stopAndJoin(threads);
  threads.clear();
  printReport(settings);
  return 0;
}

// One thread, with the share of thread 0, sends one request per connection and its loop
// ends by itself.
int runOneRequest(const Settings& settings) {
  auto thread = std::make_unique<IOThread>();
  if (configureThread(0, *thread, settings) != CONFIGURE_OK) return 0;
  ThreadList threads;
  threads.push_back(std::move(thread));
  recordingStart(threads);
  if (!startThread(*threads.front())) return 0;
  threads.front()->Join();
  recordingStop(threads);
  threads.clear();
  printReport(settings);
  return 0;
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

int configureThread(int index, IOThread& thread, const Settings& settings) {
  if (!settings.inputFile.empty() &&
      readInputFile(settings.inputFile, thread.sendData) != INPUT_FILE_OK) {
    return CONFIGURE_INPUT_FILE_FAILED;
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
  return makeTlsContext(tlsOptions(settings), thread.sslCtx);
}

void runPhase(const ThreadList& threads, int seconds, bool warmup, bool csvOutput) {
  for (int remaining = seconds; remaining > 0;) {
    const int step = std::min(remaining, TICK_SECONDS);
    sleep(static_cast<unsigned>(step));  // an early wake-up is not made up for
    if (csvOutput) {
      recordingSample();
    } else {
      printProgress(std::cout, threads, seconds, warmup);
    }
    remaining -= step;
  }
}

int runDriver(const Settings& settings) {
  return settings.oneRequest ? runOneRequest(settings) : runTimed(settings);
}

}  // namespace kelv
