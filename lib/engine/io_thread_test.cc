// I/O threads: their lifecycle, commands from other threads, and the counters hand-over.

#include "lib/engine/io_thread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "testing/engine_test_util.h"
#include "testing/nginx.h"
#include "testing/test_certs.h"

namespace kelv {
namespace {

using std::chrono::milliseconds;

void addUp(RequestCounters& total, const RequestCounters& part) {
  total.successful += part.successful;
  total.unsuccessful += part.unsuccessful;
  total.bytesRead += part.bytesRead;
  total.bytesWritten += part.bytesWritten;
  total.connectionsOpened += part.connectionsOpened;
  for (size_t kind = 0; kind < ERROR_KIND_COUNT; ++kind) total.errors[kind] += part.errors[kind];
  total.latencies.Merge(part.latencies);
}

TEST(IOThread, RecordResultCountsOnlyTwoHundredsAsSuccessful) {
  IOThread thread;
  for (int status : {199, 200, 299, 300, 404}) thread.RecordResult(status, status * 10);
  std::unique_ptr<RequestCounters> record = thread.SwapCounters();
  EXPECT_EQ(record->successful, 2);
  EXPECT_EQ(record->unsuccessful, 3);
  LatencyHistogram expected;
  for (int64_t latency : {1990, 2000, 2990, 3000, 4040}) expected.Record(latency);
  EXPECT_EQ(record->latencies, expected);
  std::unique_ptr<RequestCounters> fresh = thread.SwapCounters();
  EXPECT_EQ(fresh->successful + fresh->unsuccessful, 0);
  EXPECT_EQ(fresh->latencies, LatencyHistogram());
}

TEST(IOThread, BackendNamesFollowTheFixedOrder) {
  EXPECT_EQ(backendNames(0), "");
  EXPECT_EQ(backendNames(0x41), "select, linux AIO");
  EXPECT_EQ(backendNames(0x0A), "poll, kqueue");
  EXPECT_EQ(backendNames(0x7F),
            "select, poll, epoll, linux AIO, kqueue, /dev/poll, Solaris event port");
  EXPECT_EQ(backendNames(0x80), "");
}

// Swaps hammer the counters while another thread counts: every sample must land in exactly
// one record. Run under ThreadSanitizer as well.
TEST(IOThread, CountersSwappedWhileCountingLoseNothing) {
  constexpr int MIN_SAMPLES = 300000;
  constexpr int MIN_SWAPS = 200;
  IOThread thread;
  std::atomic<int> swaps{0};
  std::atomic<bool> finished{false};
  int produced = 0;
  std::thread counter([&] {
    for (; produced < MIN_SAMPLES || swaps.load() < MIN_SWAPS; ++produced) {
      thread.RecordResult(produced % 3 == 0 ? 500 : 200, produced);
      thread.RecordRead(2);
      thread.RecordWrite(1);
    }
    finished = true;
  });
  RequestCounters total;
  while (!finished) {
    addUp(total, *thread.SwapCounters());
    ++swaps;
  }
  counter.join();
  addUp(total, *thread.SwapCounters());
  EXPECT_EQ(total.successful + total.unsuccessful, produced);
  EXPECT_EQ(total.unsuccessful, (produced + 2) / 3);
  EXPECT_EQ(total.bytesRead, 2u * static_cast<uint64_t>(produced));
  EXPECT_EQ(total.bytesWritten, static_cast<uint64_t>(produced));
  LatencyHistogram expected;
  for (int i = 0; i < produced; ++i) expected.Record(i);
  EXPECT_EQ(total.latencies, expected);
}

TEST(IOThread, OneRequestModeSendsOneRequestPerConnectionAndEnds) {
  ScriptedTarget target;
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(3, true);
  thread->verbose = true;
  RunCounts counts = runToEnd(*thread);
  const std::string& verbose = counts.verbose;
  ScriptedServerStats stats = target.server.Stop();
  EXPECT_EQ(stats.requests, 3);
  EXPECT_EQ(stats.connections, 3);
  EXPECT_EQ(counts.record.successful, 3);
  EXPECT_EQ(counts.connectionsOpened, 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(countOccurrences(verbose, "Connection " + std::to_string(i) + " closed and done\n"),
              1);
  }
  EXPECT_NE(verbose.find("Starting new event loop 0 for 3 connection\n"), std::string::npos);
  EXPECT_NE(verbose.find("ev_run finished: 0\n"), std::string::npos);
  EXPECT_EQ(verbose.find("Marking main loop to stop"), std::string::npos);
}

TEST(IOThread, HardShutdownAbandonsARequestThatIsNeverAnswered) {
  ScriptedTarget target(scripted("hang"));
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(2);
  thread->verbose = true;
  RunCounts counts = runFor(*thread, 100, 1, 5000);
  const std::string& verbose = counts.verbose;
  EXPECT_EQ(target.server.Stop().requests, 2);
  EXPECT_NE(verbose.find("Marking main loop to stop\nGoing down for a hard shutdown\n"),
            std::string::npos);
  EXPECT_EQ(counts.record.successful + counts.record.unsuccessful, 0);
  EXPECT_EQ(counts.record.latencies.Count(), 0u);
  EXPECT_EQ(counts.socketErrors, 0);
  EXPECT_EQ(verbose.find("closed and done"), std::string::npos);
}

// Every connection finishes the request it has in flight, closes and ends; a second STOP
// changes nothing, and the loop ends long before the timeout.
TEST(IOThread, StopDuringKeepAliveEndsEveryConnectionWellBeforeTheTimeout) {
  ScriptedTarget target;
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(3);
  thread->verbose = true;
  std::chrono::steady_clock::duration took{};
  RunCounts counts = runAndCollect(*thread, [&] {
    std::this_thread::sleep_for(milliseconds(200));
    auto stopped = std::chrono::steady_clock::now();
    thread->RequestStop(20);
    thread->RequestStop(20);
    EXPECT_TRUE(joinWithin(*thread, 10000));
    took = std::chrono::steady_clock::now() - stopped;
  });
  const std::string& verbose = counts.verbose;
  ScriptedServerStats stats = target.server.Stop();
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(countOccurrences(verbose, "Marking main loop to stop\n"), 1);
  EXPECT_EQ(verbose.find("hard shutdown"), std::string::npos);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(countOccurrences(verbose, "Connection " + std::to_string(i) + " closed and done\n"),
              1);
  }
  EXPECT_EQ(counts.record.successful, stats.requests) << "no request is left unanswered";
  EXPECT_EQ(counts.socketErrors, 0);
}

TEST(IOThread, CommandsQueuedRightAfterStartAreRun) {
  TargetListForTest targets({"http://127.0.0.1:1/"});
  auto thread = makeThread(0);
  thread->verbose = true;
  OutputCapture out(STDOUT_FILENO);
  ASSERT_TRUE(thread->Start().ok());
  thread->SetNumConnections(0);
  thread->RequestStop(30);
  EXPECT_TRUE(joinWithin(*thread, 10000)) << "with no connection a STOP ends the loop at once";
  std::string verbose = out.Finish();
  EXPECT_NE(verbose.find("Current connections = 0. New connections = 0\n"), std::string::npos);
  EXPECT_NE(verbose.find("Marking main loop to stop\n"), std::string::npos);
  thread->verbose = false;
  thread->RequestStop(1);  // after the loop has gone: dropped, no harm
}

TEST(IOThread, SetConnectionsRemovesLastFirstAndAddsNextIndices) {
  ScriptedTarget target;
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(4);
  thread->noKeepAlive = 1;  // removed connections end at their next close, which is soon
  thread->verbose = true;
  OutputCapture out(STDOUT_FILENO);
  ASSERT_TRUE(thread->Start().ok());
  std::this_thread::sleep_for(milliseconds(100));
  thread->SetNumConnections(2);
  EXPECT_TRUE(out.WaitFor("Connection 2 closed and done\n", 5000));
  EXPECT_TRUE(out.WaitFor("Connection 3 closed and done\n", 5000));
  thread->SetNumConnections(4);
  std::this_thread::sleep_for(milliseconds(100));
  thread->RequestStop(2);
  EXPECT_TRUE(joinWithin(*thread, 10000));
  std::string verbose = out.Finish();
  RunCounts counts = collect(*thread);
  ScriptedServerStats stats = target.server.Stop();
  std::string down =
      "Current connections = 4. New connections = 2\n"
      "Nicely asking connection 3 to terminate\n"
      "Nicely asking connection 2 to terminate\n";
  std::string up =
      "Current connections = 2. New connections = 4\n"
      "Starting new connection 2\n";
  size_t downAt = verbose.find(down);
  size_t upAt = verbose.find(up);
  ASSERT_NE(downAt, std::string::npos) << verbose.substr(0, 2000);
  ASSERT_NE(upAt, std::string::npos);
  EXPECT_LT(downAt, upAt);
  EXPECT_NE(verbose.find("Starting new connection 3\n", upAt), std::string::npos);
  // Both removed connections ended between the two commands.
  std::string between = verbose.substr(downAt, upAt - downAt);
  EXPECT_EQ(countOccurrences(between, "Connection 3 closed and done\n"), 1);
  EXPECT_EQ(countOccurrences(between, "Connection 2 closed and done\n"), 1);
  EXPECT_EQ(counts.record.successful, stats.requests);
  EXPECT_EQ(counts.connectionsOpened, stats.connections);
}

TEST(IOThread, LoopThatCannotBeCreatedFailsTheStart) {
  IOThread::SetBackendFlagsForTest(EVBACKEND_KQUEUE | EVBACKEND_PORT);  // none on Linux
  auto thread = makeThread(1);
  OutputCapture err(STDERR_FILENO);
  const Status started = thread->Start();
  // Nothing runs: the queueing calls find no loop, Join returns at once.
  thread->RequestStop(1);
  thread->SetNumConnections(3);
  thread->Join();
  std::string errors = err.Finish();
  IOThread::SetBackendFlagsForTest(0);
  EXPECT_EQ(started.code, StatusCode::INTERNAL_ERROR);
  EXPECT_EQ(started.message, "Cannot create the event loop of I/O thread 0");
  EXPECT_EQ(errors, "") << "the caller says why";
  EXPECT_FALSE(thread->Finished());
}

// Progress ticks take the counters while requests flow; nothing is lost between records.
TEST(IOThread, CountersSwappedDuringARunAddUpToWhatTheServerAnswered) {
  ScriptedTarget target;
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(3);
  ASSERT_TRUE(thread->Start().ok());
  RequestCounters total;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (target.server.Stats().requests < 50 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(5));
    addUp(total, *thread->SwapCounters());
  }
  thread->RequestStop(2);
  EXPECT_TRUE(joinWithin(*thread, 10000));
  addUp(total, *thread->SwapCounters());
  ScriptedServerStats stats = target.server.Stop();
  EXPECT_GE(stats.requests, 50);
  EXPECT_EQ(total.successful, stats.requests);
  EXPECT_EQ(total.latencies.Count(), static_cast<uint64_t>(stats.requests));
}

struct NginxRun {
  RequestCounters total;
  int logged = 0;
  int loggedConnections = 0;
};

// Three threads of four connections for a second against the targets, then a stop.
NginxRun runThreadsAgainst(const NginxServer& nginx, const std::vector<std::string>& urls) {
  TargetListForTest targets(urls);
  ThreadList threads;
  for (int i = 0; i < 3; ++i) {
    threads.push_back(makeThread(4));
    threads.back()->index = i;
  }
  for (auto& thread : threads) EXPECT_TRUE(thread->Start().ok());
  std::this_thread::sleep_for(milliseconds(1000));
  for (auto& thread : threads) thread->RequestStop(2);
  NginxRun run;
  for (auto& thread : threads) {
    EXPECT_TRUE(joinWithin(*thread, 10000));
    addUp(run.total, *thread->SwapCounters());
  }
  run.logged = nginx.WaitForLoggedRequests(run.total.successful, 5000);
  run.loggedConnections = nginx.LoggedConnections();
  return run;
}

NginxOptions loggingNginx() {
  NginxOptions options;
  options.accessLog = true;
  return options;
}

// Full speed with several threads: every answered request is counted once.
TEST(IOThread, SeveralThreadsAgainstNginxCountWhatItLogged) {
  NginxServer nginx(loggingNginx());
  ASSERT_TRUE(nginx.ok()) << nginx.Error();
  NginxRun run = runThreadsAgainst(nginx, {nginx.HttpUrl()});
  EXPECT_GT(run.total.successful, 100);
  EXPECT_EQ(run.total.successful, run.logged);
  EXPECT_EQ(run.total.unsuccessful, 0);
  EXPECT_EQ(run.total.latencies.Count(), static_cast<uint64_t>(run.logged));
  EXPECT_EQ(errorTotal(run.total), 0);
  EXPECT_EQ(run.total.connectionsOpened, 12);
  EXPECT_EQ(run.loggedConnections, 12);
}

// Two servers (HTTP and HTTPS) drawn at random: a draw of the other server closes the
// connection after its response and opens one to the other, over TLS half of the time.
TEST(IOThread, SwitchingBetweenServersCountsEveryConnectionAndRequestOnce) {
  TestCertificates certs = makeTestCertificates();
  NginxOptions options = loggingNginx();
  options.certFile = certs.serverCert;
  options.keyFile = certs.serverKey;
  NginxServer nginx(options);
  ASSERT_TRUE(nginx.ok()) << nginx.Error();
  NginxRun run = runThreadsAgainst(nginx, {nginx.HttpUrl(), nginx.HttpsUrl()});
  EXPECT_GT(run.total.successful, 20);
  EXPECT_EQ(run.total.successful, run.logged);
  EXPECT_EQ(run.total.unsuccessful, 0);
  EXPECT_EQ(errorTotal(run.total), 0);
  EXPECT_GT(run.total.connectionsOpened, 12);
  EXPECT_EQ(run.total.connectionsOpened, run.loggedConnections);
}

}  // namespace
}  // namespace kelv
