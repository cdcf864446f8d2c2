// The intervals of one observer, over a directory laid out like /proc that the test rewrites
// between questions.
#include "lib/hoststats/host_observer.h"

#include <gtest/gtest.h>

#include <string>

#include "lib/hoststats/proc_files.h"
#include "testing/scratch_dir.h"

namespace kelv {
namespace {

constexpr int64_t TICKS_PER_SECOND = 100;
constexpr int64_t PAGE_BYTES = 4096;

class FakeProc {
 public:
  FakeProc() : files(dir.Path(), TICKS_PER_SECOND, PAGE_BYTES) {}

  void At(int64_t ticks) {
    dir.WriteFile("uptime", std::to_string(ticks / 100) + "." + std::to_string(ticks % 100 / 10) +
                                std::to_string(ticks % 10) + " 0.00\n");
  }
  void Process(int pid, const std::string& comm, int64_t cpu, int64_t start, int64_t rss) {
    dir.WriteFile(std::to_string(pid) + "/stat",
                  std::to_string(pid) + " (" + comm + ") S 1 1 1 0 -1 0 0 0 0 0 " +
                      std::to_string(cpu) + " 0 0 0 20 0 1 0 " + std::to_string(start) + " 1000 " +
                      std::to_string(rss) + " 0\n");
  }
  void Gone(int pid) { dir.WriteFile(std::to_string(pid) + "/stat", ""); }
  void Cpu(int64_t busy, int64_t idle, int64_t iowait) {
    dir.WriteFile("stat", "cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(idle) + " " +
                              std::to_string(iowait) + " 0 0 0 0 0\ncpu0 " + std::to_string(busy) +
                              " 0 0 " + std::to_string(idle) + " 0\n");
  }
  void Net(int64_t received, int64_t sent) {
    dir.WriteFile("net/dev", "h\nh\n  lo: 99 0 0 0 0 0 0 0 99 0 0 0 0 0 0 0\n  eth0: " +
                                 std::to_string(received) + " 0 0 0 0 0 0 0 " +
                                 std::to_string(sent) + " 0 0 0 0 0 0 0\n");
  }

  ScratchDir dir{"kelv-proc"};
  ProcFiles files;
};

TEST(HostObserver, FirstAnswersCoverTheTimeSinceItWasMade) {
  FakeProc proc;
  proc.At(1000);
  proc.Cpu(100, 900, 0);
  proc.Net(5000, 1000);
  proc.Process(10, "nginx", 50, 10, 300);  // master
  proc.Process(11, "nginx", 70, 20, 100);  // worker
  proc.Process(12, "other", 10, 30, 999);
  HostObserver observer(proc.files);

  // 2 seconds later: the master used 40 ticks, the worker 160, a new worker 100.
  proc.At(1200);
  proc.Cpu(150, 1000, 50);
  proc.Net(9000, 3000);
  proc.Process(10, "nginx", 90, 10, 300);
  proc.Process(11, "nginx", 230, 20, 124);
  proc.Process(13, "nginx", 100, 1100, 100);
  const HostBusy host = observer.Host();
  EXPECT_DOUBLE_EQ(host.all, 0.25);  // 50 of 200 ticks; the iowait ones are idle
  const NetRates net = observer.Net();
  EXPECT_EQ(net.receivedPerSecond, 2000);
  EXPECT_EQ(net.sentPerSecond, 1000);
  const auto nginx = observer.Process("nginx");
  ASSERT_TRUE(nginx);
  EXPECT_DOUBLE_EQ(nginx->busy, 300.0 / 200.0);
  EXPECT_DOUBLE_EQ(nginx->residentMiB, 524.0 * PAGE_BYTES / 1048576);
  const auto worker = observer.Process("11");
  ASSERT_TRUE(worker);
  EXPECT_DOUBLE_EQ(worker->busy, 160.0 / 200.0);
  EXPECT_DOUBLE_EQ(worker->residentMiB, 124.0 * PAGE_BYTES / 1048576);
  EXPECT_FALSE(observer.Process("nothing"));
  EXPECT_FALSE(observer.Process("99"));
}

TEST(HostObserver, EachQuestionRestartsOnlyItsOwnInterval) {
  FakeProc proc;
  proc.At(0);
  proc.Cpu(0, 0, 0);
  proc.Net(0, 0);
  proc.Process(10, "nginx", 0, 0, 1);
  HostObserver observer(proc.files);

  proc.At(100);
  proc.Process(10, "nginx", 50, 0, 1);
  EXPECT_DOUBLE_EQ(observer.Process("nginx")->busy, 0.5);
  proc.At(200);
  proc.Process(10, "nginx", 150, 0, 1);
  proc.Net(400, 200);
  // nginx since its previous question; PID 10 and the network since the start.
  EXPECT_DOUBLE_EQ(observer.Process("nginx")->busy, 1.0);
  EXPECT_DOUBLE_EQ(observer.Process("10")->busy, 150.0 / 200.0);
  EXPECT_EQ(observer.Net().receivedPerSecond, 200);
  // Asked again in the same tick: nothing has passed.
  EXPECT_EQ(observer.Process("nginx")->busy, 0.0);
  EXPECT_EQ(observer.Net().sentPerSecond, 0);

  // The process ends, so none; one of that name that starts later counts from its start.
  proc.Gone(10);
  proc.At(300);
  EXPECT_FALSE(observer.Process("nginx"));
  proc.At(400);
  proc.Process(20, "nginx", 30, 350, 1);
  EXPECT_DOUBLE_EQ(observer.Process("nginx")->busy, 0.3);
}

TEST(HostObserver, ManyArgumentsStayBounded) {
  FakeProc proc;
  proc.At(0);
  proc.Process(10, "nginx", 0, 0, 1);
  HostObserver observer(proc.files);
  proc.At(100);
  proc.Process(10, "nginx", 100, 0, 1);
  EXPECT_DOUBLE_EQ(observer.Process("nginx")->busy, 1.0);
  // More names than are kept push the oldest out: asked again, it measures from the start.
  for (size_t i = 0; i < HostObserver::TRACKED_ARGUMENTS; ++i) {
    EXPECT_FALSE(observer.Process("p" + std::to_string(i)));
  }
  proc.At(200);
  EXPECT_DOUBLE_EQ(observer.Process("nginx")->busy, 0.5);
  EXPECT_EQ(observer.Process("nginx")->busy, 0.0);
}

}  // namespace
}  // namespace kelv
