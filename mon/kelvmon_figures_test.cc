// The host and process figures of the real kelvmon while the test makes the host and chosen
// processes busy. Only lower bounds that a busy shared machine cannot break are asserted:
// other load can only add to the host's figures, never take from them.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mon/mon_test_client.h"
#include "mon/running_mon.h"

namespace kelv {
namespace {

constexpr auto LONGEST_BURN = std::chrono::seconds(30);
constexpr int CHILD_TIMEOUT_MILLIS = 20000;
constexpr double BURN_CPU_SECONDS = 0.5;
constexpr int CHILD_MIB = 32;

// The two figures of a reply such as "0.95 1.00\n".
struct Pair {
  double first = -1;
  double second = -1;
};

Pair pairOf(const std::string& reply) {
  char* end = nullptr;
  Pair pair;
  pair.first = std::strtod(reply.c_str(), &end);
  if (end == reply.c_str() || *end != ' ') return Pair{};
  pair.second = std::strtod(end + 1, nullptr);
  return pair;
}

double processCpuSeconds() {
  timespec now = {};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Spinning threads, one pinned to each processor given, until destroyed (at most LONGEST_BURN).
class Burners {
 public:
  explicit Burners(const std::vector<int>& processors) {
    for (const int processor : processors) {
      threads.emplace_back([this, processor] {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(processor, &set);
        pinned += pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
        const auto end = std::chrono::steady_clock::now() + LONGEST_BURN;
        while (!stop.load(std::memory_order_relaxed) && std::chrono::steady_clock::now() < end) {
        }
      });
    }
  }
  ~Burners() {
    stop = true;
    for (std::thread& thread : threads) thread.join();
  }
  // Waits until the burners have used this much CPU time each, or their time is up.
  void WaitForCpu(double secondsEach) const {
    const double target = processCpuSeconds() + secondsEach * static_cast<double>(threads.size());
    while (processCpuSeconds() < target && !stop.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  std::atomic<int> pinned{0};

 private:
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
};

std::vector<int> allowedProcessors() {
  cpu_set_t set;
  std::vector<int> processors;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return processors;
  for (int i = 0; i < CPU_SETSIZE; ++i) {
    if (CPU_ISSET(i, &set)) processors.push_back(i);
  }
  return processors;
}

class KelvmonFigures : public testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    ASSERT_GT(mon.port, 0) << mon.process.TakeStderr();
  }

  // HOST over an interval in which the burners ran, started after them.
  Pair HostWhileBurning(const std::vector<int>& processors) {
    Burners burners(processors);
    MonTestClient client(mon.port);
    client.Ask("HOST\n");
    burners.WaitForCpu(BURN_CPU_SECONDS);
    const std::string reply = client.Ask("host\n");
    EXPECT_EQ(burners.pinned.load(), static_cast<int>(processors.size()));
    return pairOf(reply);
  }

  RunningMon mon;
};

TEST_F(KelvmonFigures, HostIsBusyWhileEveryProcessorIsAndBusiestWithOne) {
  const std::vector<int> processors = allowedProcessors();
  ASSERT_FALSE(processors.empty());
  const Pair all = HostWhileBurning(processors);
  EXPECT_GE(all.first, 0.9) << "every processor was kept busy";
  EXPECT_LE(all.first, 1.0);
  EXPECT_GE(all.second, 0.9);
  EXPECT_LE(all.second, 1.0);

  const Pair one = HostWhileBurning({processors.front()});
  EXPECT_GE(one.second, 0.9) << "one processor was kept busy";
  EXPECT_GE(one.first, 0.9 / static_cast<double>(processors.size()));
}

SubprocessOptions stdinOptions() {
  SubprocessOptions options;
  options.stdinPipe = true;
  return options;
}

// A process of a name of its own that holds CHILD_MIB of touched memory and, for each line on
// its standard input, burns BURN_CPU_SECONDS of CPU time and says "done".
class NamedChild {
 public:
  explicit NamedChild(const std::string& name)
      : process({"python3", "-c",
                 "import ctypes, sys, time\n"
                 "ctypes.CDLL(None).prctl(15, sys.argv[1].encode(), 0, 0, 0)\n"
                 "block = bytearray(b'\\x01') * (int(sys.argv[2]) << 20)\n"
                 "print('ready', flush=True)\n"
                 "for line in sys.stdin:\n"
                 "    start = time.process_time()\n"
                 "    while time.process_time() - start < float(sys.argv[3]): pass\n"
                 "    print('done', flush=True)\n",
                 name, std::to_string(CHILD_MIB), std::to_string(BURN_CPU_SECONDS)},
                stdinOptions()) {
    ready = process.WaitForStdoutLine("ready", CHILD_TIMEOUT_MILLIS);
  }
  bool Burn() {
    return process.WriteStdin("burn\n") && process.WaitForStdoutLine("done", CHILD_TIMEOUT_MILLIS);
  }

  Subprocess process;
  bool ready = false;
};

TEST_F(KelvmonFigures, ProcessesByNameOrNumber) {
  const std::string name = "kb" + std::to_string(::getpid());
  NamedChild first(name);
  NamedChild second(name);
  ASSERT_TRUE(first.ready && second.ready) << first.process.TakeStderr();
  const std::string firstPid = std::to_string(first.process.Pid());
  MonTestClient client(mon.port);

  // Memory: each child's own, and both together under their name.
  const auto start = std::chrono::steady_clock::now();
  const Pair both = pairOf(client.Ask("PROC " + name + "\n"));
  const Pair one = pairOf(client.Ask("proc " + firstPid + "\n"));
  const Pair other = pairOf(client.Ask("PROC " + std::to_string(second.process.Pid()) + "\n"));
  EXPECT_GE(one.second, CHILD_MIB);
  EXPECT_LT(one.second, 3 * CHILD_MIB) << "an interpreter is far smaller than its block";
  EXPECT_GE(other.second, CHILD_MIB);
  EXPECT_NEAR(both.second, one.second + other.second, 1.0);

  // CPU: one child burns a known amount between two questions. The interval kelvmon measures
  // lies inside the one the test measures, so figure x test interval is at least what was
  // burnt; one thread cannot use more than one processor.
  ASSERT_TRUE(first.Burn());
  const Pair burnt = pairOf(client.Ask("PROC " + name + "\n"));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(burnt.first * seconds, BURN_CPU_SECONDS * 0.9) << burnt.first << " over " << seconds;
  EXPECT_LE(burnt.first, 1.1);

  first.process.Kill();
  EXPECT_EQ(client.Ask("PROC " + firstPid + "\n"), "none\n");
  second.process.Kill();
  EXPECT_EQ(client.Ask("PROC " + name + "\n"), "none\n");
}

}  // namespace
}  // namespace kelv
