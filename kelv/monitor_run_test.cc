// The kelv program with -M and -X against real kelvmon processes on loopback: the remote
// figures in the progress lines and in the report.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/run_test_util.h"
#include "lib/hoststats/host_stats.h"
#include "testing/fake_monitor.h"
#include "mon/mon_test_client.h"
#include "testing/nginx.h"

namespace kelv {
namespace {

// A bound for a wait on a condition, wide enough for a loaded machine.
constexpr int START_TIMEOUT_MILLIS = 20000;
constexpr auto LONGEST_LOAD = std::chrono::seconds(40);
// MEM commands sent in one piece: kelvmon answers them back to back, so its own CPU use does
// not depend on how often the machine lets the load's thread run.
constexpr int LOAD_BATCH = 200;
const std::string LISTENING = "kelvmon listening on port ";

// A kelvmon on a port the system chose; killed with its process group when the test ends.
class Monitor {
 public:
  Monitor() : process({binaryPath("kelvmon"), "0"}) {
    std::string line;
    if (process.WaitForStdoutLine(LISTENING, START_TIMEOUT_MILLIS, &line)) {
      port = std::atoi(line.c_str() + LISTENING.size());
    }
  }
  // The value of -M or -X that names it.
  std::string Address() const { return "127.0.0.1:" + std::to_string(port); }

  Subprocess process;
  int port = 0;
};

// Keeps a kelvmon busy answering batches of MEM commands, so that its CPU figure is well above
// 0; until destroyed, and never longer than LONGEST_LOAD.
class MonitorLoad {
 public:
  explicit MonitorLoad(int port)
      : thread([this, port] {
          MonTestClient client(port);
          std::string batch;
          for (int i = 0; i < LOAD_BATCH; ++i) batch += "MEM\n";
          const auto end = std::chrono::steady_clock::now() + LONGEST_LOAD;
          while (!stop && std::chrono::steady_clock::now() < end && client.Send(batch) &&
                 !client.ReadReplies(LOAD_BATCH).empty()) {
          }
        }) {}
  MonitorLoad(const MonitorLoad&) = delete;
  MonitorLoad& operator=(const MonitorLoad&) = delete;
  ~MonitorLoad() {
    stop = true;
    thread.join();
  }

 private:
  std::atomic<bool> stop{false};
  std::thread thread;
};

class KelvMonitor : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(nginx.ok()) << nginx.Error();
    ASSERT_GT(first.port, 0) << first.process.TakeStderr();
    ASSERT_GT(second.port, 0) << second.process.TakeStderr();
  }

  // A run long enough for one progress tick before its end.
  SubprocessResult RunWith(const std::vector<std::string>& monitorOptions) {
    std::vector<std::string> args = {"-c", "2", "-K", "1", "-d", "6"};
    args.insert(args.end(), monitorOptions.begin(), monitorOptions.end());
    args.push_back(nginx.HttpUrl());
    SubprocessResult result = runKelv(args);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "") << "every query was answered";
    return result;
  }

  NginxServer nginx;
  Monitor first;
  Monitor second;
};

// The host's memory figure as a percentage. It moves with whatever else the machine runs, so
// it is compared only with a figure of the same moment.
void expectMemoryFigure(double percent) {
  EXPECT_GT(percent, 0);
  EXPECT_LE(percent, 100);
}

TEST_F(KelvMonitor, FirstMonitorFiguresInProgressLinesAndReport) {
  SubprocessResult result;
  {
    MonitorLoad load(first.port);
    result = RunWith({"-M", first.Address()});
  }
  const std::vector<ProgressLine> progress = progressLines(result.out, "", 6);
  ASSERT_EQ(progress.size(), 2u) << result.out;
  EXPECT_GT(progress[0].remoteCpuPercent, 0) << "the busy monitor's figure at the first tick";
  std::map<std::string, double> r = parseTextReport(result.out, {.first = true, .host = true});
  EXPECT_GT(r["Successful requests"], 0);
  EXPECT_GT(r["Remote CPU average"], 0);
  EXPECT_GE(r["Remote CPU max"], r["Remote CPU average"]);
  EXPECT_GE(r["Remote CPU max"], progress[0].remoteCpuPercent);
  expectMemoryFigure(r["Remote memory usage"]);
}

// Both monitors are asked; only the second is busy, which its figures show, while the
// progress lines show the first monitor's figure only.
TEST_F(KelvMonitor, BothMonitorsAreQueried) {
  SubprocessResult result;
  {
    MonitorLoad load(second.port);
    result = RunWith({"-M", first.Address(), "-X", second.Address()});
  }
  std::map<std::string, double> r =
      parseTextReport(result.out, {.first = true, .second = true, .host = true});
  EXPECT_GT(r["Remote 2 CPU average"], 0);
  EXPECT_GE(r["Remote 2 CPU max"], r["Remote 2 CPU average"]);
  EXPECT_GE(r["Remote CPU max"], r["Remote CPU average"]);
  // Both monitors run on this host and are asked for memory one right after the other.
  expectMemoryFigure(r["Remote memory usage"]);
  EXPECT_NEAR(r["Remote memory usage"], r["Remote 2 memory usage"], 2);
  const std::vector<ProgressLine> progress = progressLines(result.out, "", 6);
  ASSERT_EQ(progress.size(), 2u) << result.out;
  // The line shows at most what the idle first monitor ever answered.
  EXPECT_LE(progress[0].remoteCpuPercent, r["Remote CPU max"]) << result.out;

  // The second monitor alone: sampled and reported, never shown on a progress line.
  SubprocessResult alone;
  {
    MonitorLoad load(second.port);
    alone = RunWith({"-X", second.Address()});
  }
  std::map<std::string, double> secondOnly =
      parseTextReport(alone.out, {.second = true, .host = true});
  EXPECT_GT(secondOnly["Remote 2 CPU average"], 0);
  for (const ProgressLine& line : progressLines(alone.out, "", 6)) {
    EXPECT_EQ(line.remoteCpuPercent, -1) << alone.out;
  }
}

// kelv loads nginx on this host, so the host was busy: nginx's share and kelv's own at least.
TEST_F(KelvMonitor, HostAndProcessFiguresOfTheLoadedServer) {
  const SubprocessResult result =
      RunWith({"-M", first.Address(), "-X", second.Address(), "--monitor-process", "nginx"});
  std::map<std::string, double> r =
      parseTextReport(result.out, {.first = true, .second = true, .host = true, .process = true});
  for (const std::string remote : {"Remote ", "Remote 2 "}) {
    EXPECT_GT(r[remote + "host CPU average"], 0) << result.out;
    EXPECT_GE(r[remote + "host CPU max"], r[remote + "host CPU average"]);
    EXPECT_GE(r[remote + "busiest CPU max"], r[remote + "host CPU max"]);
    EXPECT_LE(r[remote + "busiest CPU max"], 100);
    // The master and its worker serve every request; their memory is several MiB.
    EXPECT_GT(r[remote + "process CPU average"], 0) << result.out;
    EXPECT_GE(r[remote + "process CPU max"], r[remote + "process CPU average"]);
    EXPECT_GT(r[remote + "process memory"], 1.0) << result.out;
  }
}

// An older monitor answers HOST with "Invalid command": kelv reports what it knows, and says
// nothing of the rest.
TEST_F(KelvMonitor, OlderMonitorGetsTheOlderReport) {
  FakeMonitor older;
  ASSERT_TRUE(older.Listening()) << older.ListenError();
  older.ReplyTo("host", "Invalid command\n");
  older.ReplyTo("proc nginx", "Invalid command\n");
  const SubprocessResult result =
      RunWith({"-M", older.HostAndPort(), "--monitor-process", "nginx"});
  std::map<std::string, double> r = parseTextReport(result.out, {.first = true});
  EXPECT_EQ(r["Remote CPU average"], 25);
  EXPECT_EQ(r["Remote memory usage"], 25);
  // HOST once on the first tick; never the processes of a monitor that does not know HOST.
  EXPECT_EQ(older.Received(), "cpu\nhost\ncpu\ncpu\nmem\n");
}

}  // namespace
}  // namespace kelv
