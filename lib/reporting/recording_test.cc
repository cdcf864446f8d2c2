#include "lib/reporting/recording.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testing/fake_monitor.h"
#include "lib/reporting/report.h"
#include "lib/reporting/request_counters.h"

namespace kelv {
namespace {

// The client's CPU clock of these tests: each reading comes `elapsedStep` ticks after the
// previous one, with `busyStep` ticks of CPU time in between.
struct FakeCpuClock {
  static inline CpuReading last{true, 1000, 100};
  static inline int64_t elapsedStep = 3;
  static inline int64_t busyStep = 1;

  static CpuReading Read() {
    last.ticks += elapsedStep;
    last.cpuTicks += busyStep;
    return last;
  }
};

// The I/O threads are constructed but never started, so this thread may write their
// current records itself.
class Recording : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    for (int i = 0; i < 2; ++i) threads.push_back(std::make_unique<IOThread>());
    FakeCpuClock::elapsedStep = 3;  // 25% busy, however fast the test runs
    setCpuReaderForTest(&FakeCpuClock::Read);
  }
  void TearDown() override {
    setCpuReaderForTest(nullptr);
    closeMonitors();
    setMonitors("", "");
    setMonitorProcess("");
  }
  void Respond(size_t thread, int status, int64_t millis) {
    threads[thread]->RecordResult(status, millis * 1000000);
  }
  std::string Tick(bool warmup = false) {
    std::ostringstream out;
    printProgress(out, threads, 10, warmup);
    return out.str();
  }
  static std::string Report() {
    std::ostringstream out;
    printTextReport(out);
    return out.str();
  }

  ThreadList threads;
};

// Waits, boundedly, for the fake to have accepted `count` connections.
bool waitForAccepted(const FakeMonitor& monitor, int count) {
  for (int i = 0; i < 500 && monitor.Accepted() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return monitor.Accepted() >= count;
}

TEST_F(Recording, EarlierCountsAreDiscardedAndTicksAccumulate) {
  Respond(0, 200, 50);  // before any period
  recordingStart(threads);  // the warm-up
  Respond(0, 200, 60);
  threads[1]->RecordWrite(999);
  threads[1]->RecordError(ErrorKind::RESET);
  recordingStart(threads);  // the measured run
  Respond(0, 200, 1);
  Respond(1, 404, 2);
  threads[0]->RecordWrite(100);
  threads[1]->RecordRead(300);
  threads[0]->RecordConnectionOpened();
  threads[1]->RecordError(ErrorKind::TIMEOUT);
  EXPECT_EQ(recordingInterval(threads).successful, 1);
  Respond(1, 200, 3);
  Respond(0, 500, 4);
  threads[0]->RecordWrite(50);
  const IntervalResults second = recordingInterval(threads);
  EXPECT_EQ(second.successful, 1);
  EXPECT_LT(second.intervalSeconds, second.elapsedSeconds);  // measured from the last tick
  EXPECT_EQ(second.latencies.Count(), 2u);  // this interval's samples only
  EXPECT_EQ(second.latencies.Min(), 3 * 1000000);
  Respond(1, 200, 5);
  threads[0]->RecordError(ErrorKind::TIMEOUT);
  recordingStop(threads);
  Respond(0, 200, 100);  // after the stop: never counted
  threads[1]->RecordError(ErrorKind::REFUSED);

  const Results r = computeResults();
  EXPECT_EQ(r.attempted, 5);
  EXPECT_EQ(r.unsuccessful, 2);
  EXPECT_EQ(r.socketErrors, 2);
  EXPECT_EQ(r.errors[static_cast<size_t>(ErrorKind::TIMEOUT)], 2) << "from both threads";
  EXPECT_EQ(r.errors[static_cast<size_t>(ErrorKind::RESET)], 0) << "the warm-up's";
  EXPECT_EQ(r.errors[static_cast<size_t>(ErrorKind::REFUSED)], 0) << "after the stop";
  EXPECT_EQ(r.connectionsOpened, 1);
  EXPECT_EQ(r.statusCodes[200], 3);
  EXPECT_EQ(r.statusCodes[404] + r.statusCodes[500], 2);
  EXPECT_EQ(r.bytesWritten, 150);
  EXPECT_EQ(r.bytesRead, 300);
  EXPECT_DOUBLE_EQ(r.averageLatency, 3.0);
  EXPECT_DOUBLE_EQ(r.latencyPercent[100], 5.0);
  EXPECT_EQ(computeResults().latencyPercent, r.latencyPercent);
}

TEST_F(Recording, EachPeriodRestartsTheLineAndTheSeries) {
  recordingStart(threads);
  const std::string warm = Tick(true);
  EXPECT_TRUE(warm.starts_with("Warming up: (0 / 10) ")) << warm;
  EXPECT_TRUE(warm.ends_with("\n"));
  Respond(0, 200, 7);
  recordingStart(threads);
  const std::string measured = Tick();
  EXPECT_TRUE(measured.starts_with("(0 / 10) 0.000")) << measured;
  recordingSample();
  EXPECT_EQ(hostFigures().clientCpuSamples.size(), 2u);
  recordingStop(threads);
  EXPECT_EQ(hostFigures().clientCpuSamples.size(), 3u);
  EXPECT_EQ(computeResults().attempted, 0);
}

// An older monitor does not know HOST: it is asked once, silently, and never again on that
// connection; the report has the lines of its CPU and memory only.
TEST_F(Recording, MonitorIsAskedEachTickAndForMemoryAtTheEnd) {
  FakeMonitor monitor;
  ASSERT_TRUE(monitor.Listening()) << monitor.ListenError();
  monitor.ReplyTo("host", "Invalid command\n");
  setMonitors(monitor.HostAndPort(), "");
  setMonitorProcess("nginx");
  ::testing::internal::CaptureStderr();
  recordingStart(threads);
  ASSERT_TRUE(waitForAccepted(monitor, 1));
  EXPECT_TRUE(Tick().ends_with(" 25% remote cpu\n"));
  recordingSample();
  recordingStop(threads);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(monitor.Received(), "cpu\nhost\ncpu\ncpu\nmem\n");
  EXPECT_EQ(hostFigures().remoteCpuSamples1, (std::vector<double>{0.25, 0.25, 0.25}));
  const std::string report = Report();
  EXPECT_NE(report.find("Remote CPU average:   25%\nRemote CPU max:       25%\n"
                        "Remote memory usage:  25%\n\nTotal bytes sent:"),
            std::string::npos)
      << report;
  // A new period restarts the monitor's CPU interval on the same connection.
  recordingStart(threads);
  EXPECT_EQ(monitor.Received(), "cpu\nhost\ncpu\ncpu\nmem\ncpu\n");
  EXPECT_EQ(monitor.Accepted(), 1);
  EXPECT_TRUE(hostFigures().remoteCpuSamples1.empty());
}

// The stop follows the last tick at once: over no clock tick its figures would read 0 and
// pull the averages down. Only the first sample of a period is kept whatever its interval.
TEST_F(Recording, SampleOverNoClockTickStaysOutOfTheCpuSeries) {
  FakeMonitor monitor;
  ASSERT_TRUE(monitor.Listening()) << monitor.ListenError();
  setMonitors(monitor.HostAndPort(), "");
  recordingStart(threads);
  ASSERT_TRUE(waitForAccepted(monitor, 1));
  Tick();
  FakeCpuClock::elapsedStep = 0;
  recordingStop(threads);
  EXPECT_EQ(hostFigures().clientCpuSamples, std::vector<double>{0.25});
  EXPECT_EQ(hostFigures().remoteCpuSamples1, std::vector<double>{0.25});
  EXPECT_EQ(monitor.Received(), "cpu\nhost\ncpu\nmem\n") << "the monitor is still asked at the stop";
  // The interval of a sample left out goes on into the next: 2 busy ticks in 3, not 1 in 3.
  FakeCpuClock::elapsedStep = 3;
  recordingStart(threads);
  recordingSample();
  FakeCpuClock::elapsedStep = 0;
  recordingSample();
  FakeCpuClock::elapsedStep = 3;
  recordingSample();
  EXPECT_EQ(hostFigures().clientCpuSamples, (std::vector<double>{0.25, 0.4}));
  EXPECT_EQ(hostFigures().remoteCpuSamples1.size(), 2u);
  // A period shorter than a tick keeps its one sample: the report still has its lines.
  FakeCpuClock::elapsedStep = 0;
  recordingStart(threads);
  recordingStop(threads);
  EXPECT_EQ(hostFigures().clientCpuSamples.size(), 1u);
  EXPECT_EQ(hostFigures().remoteCpuSamples1.size(), 1u);
}

TEST_F(Recording, DeadMonitorIsSkippedUntilTheNextPeriod) {
  FakeMonitor monitor;
  ASSERT_TRUE(monitor.Listening()) << monitor.ListenError();
  monitor.ReplyTo("host", "Invalid command\n");
  monitor.CloseAfter(2);  // CPU and HOST of the first tick
  setMonitors(monitor.HostAndPort(), "");
  recordingStart(threads);
  Tick();
  ::testing::internal::CaptureStderr();
  const std::string line = Tick();
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(errors.starts_with("Error reading from monitoring server: ")) << errors;
  EXPECT_EQ(line.find("remote"), std::string::npos) << line;
  Tick();
  EXPECT_EQ(hostFigures().remoteCpuSamples1, (std::vector<double>{0.25, 0.0}));
  recordingStart(threads);  // reconnects
  ASSERT_TRUE(waitForAccepted(monitor, 2));
  EXPECT_TRUE(Tick().ends_with(" 25% remote cpu\n"));
  // The new connection may reach a newer monitor: HOST is asked again.
  EXPECT_EQ(monitor.Received(), "cpu\nhost\ncpu\nhost\n");
}

TEST_F(Recording, SecondMonitorIsSampledButNotShownOnTheLine) {
  FakeMonitor first(0, "0.5\n");
  FakeMonitor second;
  ASSERT_TRUE(first.Listening() && second.Listening());
  setMonitors("", second.HostAndPort());
  recordingStart(threads);
  EXPECT_EQ(Tick().find("remote"), std::string::npos);
  recordingStop(threads);
  // A reply to HOST that is not two figures counts as a monitor that does not know it.
  EXPECT_EQ(second.Received(), "cpu\nhost\ncpu\nmem\n");
  const std::string report = Report();
  EXPECT_EQ(report.find("Remote CPU"), std::string::npos);
  EXPECT_NE(report.find("Remote 2 CPU average:   25%\n"), std::string::npos);
  closeMonitors();
  setMonitors(first.HostAndPort(), second.HostAndPort());
  recordingStart(threads);
  EXPECT_TRUE(Tick().ends_with(" 50% remote cpu\n"));
  EXPECT_EQ(first.Received(), "cpu\nhost\n");
  // Connected anew: HOST is asked again, since another monitor may answer now.
  EXPECT_EQ(second.Received(), "cpu\nhost\ncpu\nmem\ncpu\nhost\n");
}

TEST_F(Recording, HostAndProcessFiguresOfANewerMonitor) {
  FakeMonitor monitor;
  ASSERT_TRUE(monitor.Listening()) << monitor.ListenError();
  monitor.ReplyTo("host", "0.50 0.75\n");
  monitor.ReplyTo("proc nginx", "1.25 12.50\n");
  setMonitors(monitor.HostAndPort(), "");
  setMonitorProcess("nginx");
  recordingStart(threads);
  ASSERT_TRUE(waitForAccepted(monitor, 1));
  Tick();
  monitor.ReplyTo("host", "0.30 0.95\n");
  monitor.ReplyTo("proc nginx", "none\n");  // gone for a tick: no sample
  recordingSample();
  monitor.ReplyTo("proc nginx", "0.75 20.00\n");
  recordingStop(threads);
  EXPECT_EQ(monitor.Received(),
            "cpu\nhost\nproc nginx\ncpu\nhost\nproc nginx\ncpu\nhost\nproc nginx\nmem\n");
  const RemoteHostFigures& remote = hostFigures().remoteHost1;
  EXPECT_EQ(remote.hostCpuSamples, (std::vector<double>{0.5, 0.3, 0.3}));
  EXPECT_EQ(remote.processCpuSamples, (std::vector<double>{1.25, 0.75}));
  const std::string report = Report();
  EXPECT_NE(report.find("Remote memory usage:  25%\n"
                        "Remote host CPU average:    37%\n"
                        "Remote host CPU max:        50%\n"
                        "Remote busiest CPU max:     95%\n"
                        "Remote process CPU average: 100%\n"
                        "Remote process CPU max:     125%\n"
                        "Remote process memory:      20.00 MiB\n\n"),
            std::string::npos)
      << report;
  // A new period restarts every interval the monitor keeps for this connection.
  recordingStart(threads);
  EXPECT_TRUE(monitor.Received().ends_with("mem\ncpu\nhost\nproc nginx\n"));
  EXPECT_TRUE(hostFigures().remoteHost1.hostCpuSamples.empty());
}

TEST_F(Recording, UnreachableMonitorLeavesNoRemoteFigures) {
  setMonitors("x", "");
  ::testing::internal::CaptureStderr();
  recordingStart(threads);
  Tick();
  recordingStop(threads);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Invalid monitor host \"x\"\n");
  std::ostringstream csv;
  printCsvLine(csv, "", 1, 1);
  std::vector<std::string> fields;
  std::istringstream columns(csv.str());
  for (std::string field; std::getline(columns, field, ',');) fields.push_back(field);
  ASSERT_EQ(fields.size(), 25u);
  // Avg Server CPU, Avg Server 2 CPU, Server Mem, Server 2 Mem.
  EXPECT_EQ(fields[18] + fields[19] + fields[21] + fields[22], "0000");
  const std::string report = Report();
  EXPECT_EQ(report.find("Remote"), std::string::npos);
  EXPECT_NE(report.find("Client CPU average:"), std::string::npos);
  EXPECT_TRUE(report.ends_with(" megabits / second\n"));
}

}  // namespace
}  // namespace kelv
