#include "lib/reporting/recording.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/reporting/report.h"
#include "lib/reporting/request_counters.h"
#include "testing/fake_monitor.h"

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
class RecordingPeriods : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    for (int i = 0; i < 2; ++i) threads.push_back(std::make_unique<IOThread>());
    FakeCpuClock::elapsedStep = 3;  // 25% busy, however fast the test runs
    Use({});
  }
  // A new recording that asks these monitors.
  void Use(MonitorTargets monitors) {
    recording.reset();  // its monitor sockets first
    recording = std::make_unique<Recording>(std::move(monitors), &FakeCpuClock::Read);
  }
  void Respond(size_t thread, int status, int64_t millis) {
    threads[thread]->RecordResult(status, millis * 1000000);
  }
  std::string Tick() {
    std::ostringstream out;
    printProgress(out, *recording, threads, 10);
    return out.str();
  }
  std::string Report() const {
    std::ostringstream out;
    printTextReport(out, recording->Result());
    return out.str();
  }

  ThreadList threads;
  std::unique_ptr<Recording> recording;
};

// Waits, boundedly, for the fake to have accepted `count` connections.
bool waitForAccepted(const FakeMonitor& monitor, int count) {
  for (int i = 0; i < 500 && monitor.Accepted() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return monitor.Accepted() >= count;
}

TEST_F(RecordingPeriods, EarlierCountsAreDiscardedAndTicksAccumulate) {
  Respond(0, 200, 50);              // before any period
  recording->Start(threads, true);  // the warm-up
  Respond(0, 200, 60);
  threads[1]->RecordWrite(999);
  threads[1]->RecordError(ErrorKind::RESET);
  recording->Start(threads);  // the measured run
  Respond(0, 200, 1);
  Respond(1, 404, 2);
  threads[0]->RecordWrite(100);
  threads[1]->RecordRead(300);
  threads[0]->RecordConnectionOpened();
  threads[1]->RecordError(ErrorKind::TIMEOUT);
  EXPECT_EQ(recording->Interval(threads).successful, 1);
  Respond(1, 200, 3);
  Respond(0, 500, 4);
  threads[0]->RecordWrite(50);
  const IntervalResults second = recording->Interval(threads);
  EXPECT_EQ(second.successful, 1);
  EXPECT_LT(second.intervalSeconds, second.elapsedSeconds);  // measured from the last tick
  EXPECT_EQ(second.latencies.Count(), 2u);                   // this interval's samples only
  EXPECT_EQ(second.latencies.Min(), 3 * 1000000);
  Respond(1, 200, 5);
  threads[0]->RecordError(ErrorKind::TIMEOUT);
  recording->Stop(threads);
  Respond(0, 200, 100);  // after the stop: never counted
  threads[1]->RecordError(ErrorKind::REFUSED);

  const Results r = recording->ComputeResults();
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
  EXPECT_EQ(recording->ComputeResults().latencyPercent, r.latencyPercent);
}

TEST_F(RecordingPeriods, EachPeriodRestartsTheLineAndTheSeries) {
  recording->Start(threads, true);
  const std::string warm = Tick();
  EXPECT_TRUE(warm.starts_with("Warming up: (0 / 10) ")) << warm;
  EXPECT_TRUE(warm.ends_with("\n"));
  Respond(0, 200, 7);
  recording->Start(threads);
  const std::string measured = Tick();
  EXPECT_TRUE(measured.starts_with("(0 / 10) 0.000")) << measured;
  recording->Sample();
  EXPECT_EQ(recording->Host().clientCpuSamples.size(), 2u);
  recording->Stop(threads);
  EXPECT_EQ(recording->Host().clientCpuSamples.size(), 3u);
  EXPECT_EQ(recording->ComputeResults().attempted, 0);
}

// An older monitor does not know HOST: it is asked once, silently, and never again on that
// connection; the report has the lines of its CPU and memory only.
TEST_F(RecordingPeriods, MonitorIsAskedEachTickAndForMemoryAtTheEnd) {
  FakeMonitor monitor;
  ASSERT_TRUE(monitor.Listening()) << monitor.ListenError();
  monitor.ReplyTo("host", "Invalid command\n");
  Use({monitor.HostAndPort(), "", "nginx"});
  ::testing::internal::CaptureStderr();
  recording->Start(threads);
  ASSERT_TRUE(waitForAccepted(monitor, 1));
  EXPECT_TRUE(Tick().ends_with(" 25% remote cpu\n"));
  recording->Sample();
  recording->Stop(threads);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(monitor.Received(), "cpu\nhost\ncpu\ncpu\nmem\n");
  EXPECT_EQ(recording->Host().remoteCpuSamples1, (std::vector<double>{0.25, 0.25, 0.25}));
  const std::string report = Report();
  EXPECT_NE(report.find("Remote CPU average:   25%\nRemote CPU max:       25%\n"
                        "Remote memory usage:  25%\n\nTotal bytes sent:"),
            std::string::npos)
      << report;
  // A new period restarts the monitor's CPU interval on the same connection.
  recording->Start(threads);
  EXPECT_EQ(monitor.Received(), "cpu\nhost\ncpu\ncpu\nmem\ncpu\n");
  EXPECT_EQ(monitor.Accepted(), 1);
  EXPECT_TRUE(recording->Host().remoteCpuSamples1.empty());
}

// The stop follows the last tick at once: over no clock tick its figures would read 0 and
// pull the averages down. Only the first sample of a period is kept whatever its interval.
TEST_F(RecordingPeriods, SampleOverNoClockTickStaysOutOfTheCpuSeries) {
  FakeMonitor monitor;
  ASSERT_TRUE(monitor.Listening()) << monitor.ListenError();
  Use({monitor.HostAndPort(), "", ""});
  recording->Start(threads);
  ASSERT_TRUE(waitForAccepted(monitor, 1));
  Tick();
  FakeCpuClock::elapsedStep = 0;
  recording->Stop(threads);
  EXPECT_EQ(recording->Host().clientCpuSamples, std::vector<double>{0.25});
  EXPECT_EQ(recording->Host().remoteCpuSamples1, std::vector<double>{0.25});
  EXPECT_EQ(monitor.Received(), "cpu\nhost\ncpu\nmem\n")
      << "the monitor is still asked at the stop";
  // The interval of a sample left out goes on into the next: 2 busy ticks in 3, not 1 in 3.
  FakeCpuClock::elapsedStep = 3;
  recording->Start(threads);
  recording->Sample();
  FakeCpuClock::elapsedStep = 0;
  recording->Sample();
  FakeCpuClock::elapsedStep = 3;
  recording->Sample();
  EXPECT_EQ(recording->Host().clientCpuSamples, (std::vector<double>{0.25, 0.4}));
  EXPECT_EQ(recording->Host().remoteCpuSamples1.size(), 2u);
  // A period shorter than a tick keeps its one sample: the report still has its lines.
  FakeCpuClock::elapsedStep = 0;
  recording->Start(threads);
  recording->Stop(threads);
  EXPECT_EQ(recording->Host().clientCpuSamples.size(), 1u);
  EXPECT_EQ(recording->Host().remoteCpuSamples1.size(), 1u);
}

TEST_F(RecordingPeriods, DeadMonitorIsSkippedUntilTheNextPeriod) {
  FakeMonitor monitor;
  ASSERT_TRUE(monitor.Listening()) << monitor.ListenError();
  monitor.ReplyTo("host", "Invalid command\n");
  monitor.CloseAfter(2);  // CPU and HOST of the first tick
  Use({monitor.HostAndPort(), "", ""});
  recording->Start(threads);
  Tick();
  ::testing::internal::CaptureStderr();
  const std::string line = Tick();
  const std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(errors.starts_with("Error reading from monitoring server: ")) << errors;
  EXPECT_EQ(line.find("remote"), std::string::npos) << line;
  Tick();
  EXPECT_EQ(recording->Host().remoteCpuSamples1, (std::vector<double>{0.25, 0.0}));
  recording->Start(threads);  // reconnects
  ASSERT_TRUE(waitForAccepted(monitor, 2));
  EXPECT_TRUE(Tick().ends_with(" 25% remote cpu\n"));
  // The new connection may reach a newer monitor: HOST is asked again.
  EXPECT_EQ(monitor.Received(), "cpu\nhost\ncpu\nhost\n");
}

TEST_F(RecordingPeriods, SecondMonitorIsSampledButNotShownOnTheLine) {
  FakeMonitor first(0, "0.5\n");
  FakeMonitor second;
  ASSERT_TRUE(first.Listening() && second.Listening());
  Use({"", second.HostAndPort(), ""});
  recording->Start(threads);
  EXPECT_EQ(Tick().find("remote"), std::string::npos);
  recording->Stop(threads);
  // A reply to HOST that is not two figures counts as a monitor that does not know it.
  EXPECT_EQ(second.Received(), "cpu\nhost\ncpu\nmem\n");
  const std::string report = Report();
  EXPECT_EQ(report.find("Remote CPU"), std::string::npos);
  EXPECT_NE(report.find("Remote 2 CPU average:   25%\n"), std::string::npos);
  Use({first.HostAndPort(), second.HostAndPort(), ""});
  recording->Start(threads);
  EXPECT_TRUE(Tick().ends_with(" 50% remote cpu\n"));
  EXPECT_EQ(first.Received(), "cpu\nhost\n");
  // Connected anew: HOST is asked again, since another monitor may answer now.
  EXPECT_EQ(second.Received(), "cpu\nhost\ncpu\nmem\ncpu\nhost\n");
}

TEST_F(RecordingPeriods, HostAndProcessFiguresOfANewerMonitor) {
  FakeMonitor monitor;
  ASSERT_TRUE(monitor.Listening()) << monitor.ListenError();
  monitor.ReplyTo("host", "0.50 0.75\n");
  monitor.ReplyTo("proc nginx", "1.25 12.50\n");
  Use({monitor.HostAndPort(), "", "nginx"});
  recording->Start(threads);
  ASSERT_TRUE(waitForAccepted(monitor, 1));
  Tick();
  monitor.ReplyTo("host", "0.30 0.95\n");
  monitor.ReplyTo("proc nginx", "none\n");  // gone for a tick: no sample
  recording->Sample();
  monitor.ReplyTo("proc nginx", "0.75 20.00\n");
  recording->Stop(threads);
  EXPECT_EQ(monitor.Received(),
            "cpu\nhost\nproc nginx\ncpu\nhost\nproc nginx\ncpu\nhost\nproc nginx\nmem\n");
  const RemoteHostFigures& remote = recording->Host().remoteHost1;
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
  recording->Start(threads);
  EXPECT_TRUE(monitor.Received().ends_with("mem\ncpu\nhost\nproc nginx\n"));
  EXPECT_TRUE(recording->Host().remoteHost1.hostCpuSamples.empty());
}

TEST_F(RecordingPeriods, UnreachableMonitorLeavesNoRemoteFigures) {
  Use({"x", "", ""});
  ::testing::internal::CaptureStderr();
  recording->Start(threads);
  Tick();
  recording->Stop(threads);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Invalid monitor host \"x\"\n");
  std::ostringstream csv;
  printCsvLine(csv, recording->Result());
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
