// Black-box tests of the kelvmon program over real loopback TCP.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/hoststats/host_stats.h"
#include "mon/mon_test_client.h"
#include "mon/running_mon.h"
#include "testing/subprocess.h"

namespace kelv {
namespace {

constexpr int START_TIMEOUT_MILLIS = MON_START_TIMEOUT_MILLIS;
constexpr int RUN_TIMEOUT_MILLIS = 10000;
const std::string LISTENING = MON_LISTENING;

int lineCount(const std::string& text, const std::string& prefix) {
  std::istringstream lines(text);
  int count = 0;
  for (std::string line; std::getline(lines, line);) count += line.rfind(prefix, 0) == 0;
  return count;
}

class Kelvmon : public testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    ASSERT_GT(mon.port, 0) << mon.process.StartError() << mon.process.TakeStderr();
  }

  // Fails the test when the server no longer answers a new client.
  void ExpectStillServing() {
    ASSERT_TRUE(mon.process.Running());
    MonTestClient client(mon.port);
    ASSERT_EQ(client.Ask("HELLO\n"), "Hi!\n");
  }

  RunningMon mon;
};

TEST(KelvmonCommandLine, WrongArgumentCountPrintsUsage) {
  const std::string usage = "Usage: " + kelvmonPath() + " <port>\n";
  for (const auto& argv : {std::vector<std::string>{kelvmonPath()},
                           std::vector<std::string>{kelvmonPath(), "1", "2"}}) {
    const SubprocessResult result = Subprocess::Run(argv, RUN_TIMEOUT_MILLIS);
    ASSERT_TRUE(result.finished) << result.error;
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(result.err, usage);
    EXPECT_EQ(result.out, "");
  }
}

TEST(KelvmonCommandLine, ZeroOrTextListensOnASystemChosenPort) {
  std::signal(SIGPIPE, SIG_IGN);
  for (const char* portText : {"0", "abc"}) {
    RunningMon mon(portText);
    ASSERT_GT(mon.port, 0) << portText;
    EXPECT_EQ(mon.listeningLine, LISTENING + std::to_string(mon.port));
    MonTestClient client(mon.port);
    EXPECT_EQ(client.Ask("HELLO\n"), "Hi!\n");
  }
}

TEST(KelvmonCommandLine, BadOptionsGiveOneLineAndStatusTwo) {
  struct Case {
    std::vector<std::string> args;
    std::string named;  // what the line must name
  };
  const std::vector<Case> wrong = {{{"--bind", "nonsense", "0"}, "nonsense"},
                                   {{"--bind", "localhost", "0"}, "localhost"},
                                   {{"--bind=", "0"}, "--bind"},
                                   {{"0", "--bind"}, "--bind"},
                                   {{"--max-clients", "0", "0"}, "--max-clients"},
                                   {{"--max-clients=x", "0"}, "\"x\""},
                                   {{"--max-clients", "-5", "0"}, "-5"},
                                   {{"--no-such-option", "0"}, "--no-such-option"}};
  for (const Case& c : wrong) {
    std::vector<std::string> argv = c.args;
    argv.insert(argv.begin(), kelvmonPath());
    const SubprocessResult result = Subprocess::Run(argv, RUN_TIMEOUT_MILLIS);
    ASSERT_TRUE(result.finished) << result.error;
    EXPECT_EQ(result.exitStatus, 2) << c.named;
    EXPECT_EQ(result.out, "") << c.named;
    EXPECT_EQ(result.err.rfind("kelvmon: ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
    EXPECT_NE(result.err.find(c.named), std::string::npos) << result.err;
  }
  // Options do not count as the port: only a port is still one argument too few.
  const SubprocessResult onlyOptions =
      Subprocess::Run({kelvmonPath(), "--max-clients", "3"}, RUN_TIMEOUT_MILLIS);
  EXPECT_EQ(onlyOptions.exitStatus, 2);
  EXPECT_EQ(onlyOptions.err, "Usage: " + kelvmonPath() + " <port>\n");
}

TEST(KelvmonCommandLine, ListensOnTheAddressGivenOnly) {
  std::signal(SIGPIPE, SIG_IGN);
  struct Case {
    const char* address;
    Loopback served;
    Loopback refused;
  };
  for (const Case& c :
       {Case{"127.0.0.1", Loopback::V4, Loopback::V6}, Case{"::1", Loopback::V6, Loopback::V4},
        Case{"[::1]", Loopback::V6, Loopback::V4}}) {
    RunningMon mon(RunningMon::WithOptions({"--bind", c.address}));
    ASSERT_GT(mon.port, 0) << c.address << mon.process.TakeStderr();
    MonTestClient client(mon.port, c.served);
    EXPECT_EQ(client.Ask("HELLO\n"), "Hi!\n") << c.address;
    MonTestClient other(mon.port, c.refused);
    EXPECT_EQ(other.ConnectError(), ECONNREFUSED) << c.address;
  }
}

TEST(KelvmonCommandLine, PortInUseFailsToStart) {
  RunningMon first;
  ASSERT_GT(first.port, 0);
  const SubprocessResult result =
      Subprocess::Run({kelvmonPath(), std::to_string(first.port)}, RUN_TIMEOUT_MILLIS);
  ASSERT_TRUE(result.finished) << result.error;
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_EQ(result.err, "Can't bind to port: " + std::to_string(EADDRINUSE) +
                            "\nCan't start monitoring server: -2\n");
  EXPECT_EQ(result.out, "");
}

TEST_F(Kelvmon, AnswersLinesInOrderWhateverTheirLineEnds) {
  MonTestClient client(mon.port);
  // An empty first line is a command; later runs of line ends are one line end.
  ASSERT_TRUE(client.Send("\nhello\r\ncpu\nMeM\r\n\r\nnope\n"));
  EXPECT_EQ(client.ReadReplies(2), "Invalid command\nHi!\n");
  EXPECT_TRUE(isFigureReply(client.ReadReplies(1)));
  EXPECT_TRUE(isFigureReply(client.ReadReplies(1)));
  EXPECT_EQ(client.ReadReplies(1), "Invalid command\n");
  // A CR LF split between two reads is one line end too: no extra reply for the LF. QUIT
  // closes the connection before the line after it.
  EXPECT_EQ(client.Ask("HELLO\r"), "Hi!\n");
  ASSERT_TRUE(client.Send("\nquit\nHELLO\n"));
  bool closed = false;
  EXPECT_EQ(client.ReadUntilClosed(&closed), "BYE\n");
  EXPECT_TRUE(closed);
}

TEST_F(Kelvmon, LineOfTheBufferSizeClosesWithoutReply) {
  MonTestClient fits(mon.port);
  EXPECT_EQ(fits.Ask(std::string(127, 'x') + "\nHELLO\n"), "Invalid command\n");
  EXPECT_EQ(fits.ReadReplies(1), "Hi!\n");
  // A process name as long as the buffer allows is answered, one byte more is not.
  EXPECT_EQ(fits.Ask("proc " + std::string(122, 'x') + "\n"), "none\n");
  MonTestClient longName(mon.port);
  ASSERT_TRUE(longName.Send("PROC " + std::string(123, 'x')));
  bool nameClosed = false;
  EXPECT_EQ(longName.ReadUntilClosed(&nameClosed), "");
  EXPECT_TRUE(nameClosed);

  MonTestClient overflows(mon.port);
  ASSERT_TRUE(overflows.Send(std::string(128, 'x')));
  bool closed = false;
  EXPECT_EQ(overflows.ReadUntilClosed(&closed), "");
  EXPECT_TRUE(closed);
  ExpectStillServing();
}

TEST_F(Kelvmon, FiguresAreFractionsWithTwoDecimals) {
  MonTestClient client(mon.port);
  const std::string mem = client.Ask("MEM\n");
  ASSERT_TRUE(isFigureReply(mem)) << mem;
  EXPECT_NEAR(std::atof(mem.c_str()), memoryUseFraction(), 0.05);
  const std::string cpu = client.Ask("CPU\n");
  ASSERT_TRUE(isFigureReply(cpu)) << cpu;
  EXPECT_GE(std::atof(cpu.c_str()), 0.0);
  // Asked at once, the interval may hold one tick of this process and none of the clock.
  EXPECT_LE(std::atof(cpu.c_str()), 1.0);
}

// Keeps kelvmon busy answering MEM from a few clients for about the given time. One command
// at a time: pipelined replies would wait for acknowledgements and keep it mostly idle.
void loadServer(int port, std::chrono::milliseconds length) {
  constexpr int CLIENTS = 2;
  std::vector<std::thread> threads;
  for (int i = 0; i < CLIENTS; ++i) {
    threads.emplace_back([port, length] {
      MonTestClient client(port);
      const auto end = std::chrono::steady_clock::now() + length;
      while (std::chrono::steady_clock::now() < end && !client.Ask("MEM\n").empty()) {
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

double cpuFigure(MonTestClient& client) { return std::atof(client.Ask("CPU\n").c_str()); }

TEST_F(Kelvmon, CpuFiguresCoverTheTimeSinceAcceptOrTheLastCpu) {
  using std::chrono::milliseconds;
  loadServer(mon.port, milliseconds(1000));
  std::this_thread::sleep_for(milliseconds(300));
  // Accepted after the busy phase and then idle: the busy phase is not in its first figure.
  MonTestClient idle(mon.port);
  std::this_thread::sleep_for(milliseconds(1000));
  EXPECT_LT(cpuFigure(idle), 0.05);

  // Accepted before a busy phase: its first figure covers it.
  MonTestClient fresh(mon.port);
  EXPECT_EQ(fresh.Ask("HELLO\n"), "Hi!\n");
  loadServer(mon.port, milliseconds(1000));
  EXPECT_GT(cpuFigure(fresh), 0.05);
  EXPECT_GT(cpuFigure(idle), 0.05);
}

// Each client is greeted before the next connects, so that the listen queue of a few places
// does not overflow; then all of them are open together.
std::vector<std::unique_ptr<MonTestClient>> greetedClients(int port, int count) {
  std::vector<std::unique_ptr<MonTestClient>> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<MonTestClient>(port));
    if (clients.back()->Ask("HELLO\n") != "Hi!\n") break;
  }
  return clients;
}

TEST(KelvmonLimits, ServesUpToTheLimitAndTellsTheNextOneBusy) {
  std::signal(SIGPIPE, SIG_IGN);
  constexpr int THREADS = 6;
  constexpr int CLIENTS_PER_THREAD = 50;
  RunningMon mon(RunningMon::WithOptions({"--max-clients", "300"}));
  ASSERT_GT(mon.port, 0) << mon.process.TakeStderr();
  std::atomic<int> answered{0};
  std::vector<std::vector<std::unique_ptr<MonTestClient>>> held(THREADS);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      held[t] = greetedClients(mon.port, CLIENTS_PER_THREAD);
      for (auto& client : held[t]) client->Send("MEM\n");
      for (auto& client : held[t]) answered += isFigureReply(client->ReadReplies(1));
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(answered.load(), THREADS * CLIENTS_PER_THREAD);

  // One more, while all 300 are held: it is told so at once, without having to ask.
  MonTestClient extra(mon.port);
  bool closed = false;
  EXPECT_EQ(extra.ReadUntilClosed(&closed), "Busy\n");
  EXPECT_TRUE(closed);
  // Once one client leaves there is room again (its thread may take a moment to end).
  ASSERT_TRUE(held[0][0]->Send("BYE\n"));
  EXPECT_EQ(held[0][0]->ReadUntilClosed(&closed), "BYE\n");
  EXPECT_TRUE(greetedAfterRetries(mon.port));
  EXPECT_TRUE(mon.process.Running());
}

TEST_F(Kelvmon, ClientsLeavingBeforeTheirRepliesDoNotStopIt) {
  constexpr int ROUNDS = 100;
  std::string burst;
  for (int i = 0; i < 21; ++i) burst += "HELLO\n";
  for (int i = 0; i < ROUNDS; ++i) {
    // Replies to a reset connection fail with a broken pipe, which must not end the server.
    MonTestClient resetting(mon.port);
    resetting.Send(burst);
    resetting.Abort();
    MonTestClient leaving(mon.port);
    leaving.Send("CPU\nMEM\n");
    leaving.Close();
    ASSERT_NO_FATAL_FAILURE(ExpectStillServing()) << "round " << i;
  }
  EXPECT_EQ(mon.process.TakeStderr(), "");
}

TEST(KelvmonLimits, OutOfDescriptorsPausesAcceptingUntilOneIsFree) {
  std::signal(SIGPIPE, SIG_IGN);
  RunningMon mon(RunningMon::Limited("ulimit -n 24"));
  ASSERT_GT(mon.port, 0) << mon.process.TakeStderr();
  constexpr int QUEUE_TIMEOUT_MILLIS = 1000;
  // Fill every descriptor; the first client left without a reply waits in the queue.
  std::vector<std::unique_ptr<MonTestClient>> served;
  std::unique_ptr<MonTestClient> queued;
  while (!queued && served.size() < 64) {
    auto client = std::make_unique<MonTestClient>(mon.port, QUEUE_TIMEOUT_MILLIS);
    ASSERT_TRUE(client->Connected());
    if (client->Ask("HELLO\n") == "Hi!\n") {
      served.push_back(std::move(client));
    } else {
      queued = std::move(client);
    }
  }
  ASSERT_TRUE(queued);
  EXPECT_GT(served.size(), 5u);
  // Waiting for a descriptor, kelvmon reports the failure now and then, not in a busy loop.
  const std::string errors = mon.process.TakeStderr();
  const std::string failure = "Error accepting socket: " + std::to_string(EMFILE);
  EXPECT_GE(lineCount(errors, failure), 1) << errors;
  EXPECT_LT(lineCount(errors, failure), 100);
  EXPECT_EQ(lineCount(errors, ""), lineCount(errors, failure)) << errors;

  // Free a few descriptors: the queued client and a new one need one each, and a sanitizer
  // build needs some of its own to check memory.
  served.resize(served.size() - 4);
  queued->SetTimeout(MonTestClient::DEFAULT_TIMEOUT_MILLIS);
  EXPECT_EQ(queued->ReadReplies(1), "Hi!\n");  // its HELLO was waiting
  MonTestClient late(mon.port);
  EXPECT_EQ(late.Ask("HELLO\n"), "Hi!\n");
}

TEST(KelvmonLimits, ThreadFailureClosesOnlyThatClient) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
#endif
  std::signal(SIGPIPE, SIG_IGN);
  // Room for a few thread stacks only.
  RunningMon mon(RunningMon::Limited("ulimit -v 100000"));
  ASSERT_GT(mon.port, 0) << mon.process.TakeStderr();
  std::vector<std::unique_ptr<MonTestClient>> served;
  bool refused = false;
  while (!refused && served.size() < 200) {
    auto client = std::make_unique<MonTestClient>(mon.port);
    ASSERT_TRUE(client->Connected());
    ASSERT_TRUE(client->Send("HELLO\n"));
    bool closed = false;
    const std::string reply = client->ReadReplies(1);
    if (reply == "Hi!\n") {
      served.push_back(std::move(client));
      continue;
    }
    EXPECT_EQ(reply + client->ReadUntilClosed(&closed), "");
    refused = true;
  }
  ASSERT_TRUE(refused) << "every client got a thread";
  std::string line;
  EXPECT_TRUE(mon.process.ReadStderrLine(&line, START_TIMEOUT_MILLIS));
  EXPECT_EQ(line, "Can't start connection thread: " + std::to_string(EAGAIN));
  // The clients already served are unaffected, and once they leave there is room again.
  EXPECT_EQ(served.front()->Ask("HELLO\n"), "Hi!\n");
  served.clear();
  bool answered = false;
  for (int attempt = 0; attempt < 50 && !answered; ++attempt) {
    MonTestClient client(mon.port);
    answered = client.Ask("HELLO\n") == "Hi!\n";
    if (!answered) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(answered);
  EXPECT_TRUE(mon.process.Running());
}

}  // namespace
}  // namespace kelv
