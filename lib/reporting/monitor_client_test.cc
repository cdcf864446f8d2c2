#include "lib/reporting/monitor_client.h"

#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "testing/fake_monitor.h"
#include "lib/util/unique_fd.h"
#include "testing/loopback_sockets.h"

namespace kelv {
namespace {

// monitorConnect's standard error; `descriptor` receives its result.
std::string connectCapturing(const std::string& hostAndPort, int& descriptor) {
  std::signal(SIGPIPE, SIG_IGN);
  descriptor = 0;  // a real descriptor number: a failure must overwrite it
  ::testing::internal::CaptureStderr();
  monitorConnect(hostAndPort, descriptor);
  return ::testing::internal::GetCapturedStderr();
}

TEST(MonitorReply, ParsedByStrtodRulesWithinTheBytesReceived) {
  EXPECT_DOUBLE_EQ(parseMonitorReply("0.25\n"), 0.25);
  EXPECT_DOUBLE_EQ(parseMonitorReply("  \t1e-1x"), 0.1);
  EXPECT_EQ(parseMonitorReply(""), 0.0);
  EXPECT_EQ(parseMonitorReply("Invalid command\n"), 0.0);
  // A full 64-byte reply has no terminator; the digit after it must not be read.
  const std::string digits = "1" + std::string(63, '0') + "5";
  EXPECT_DOUBLE_EQ(parseMonitorReply(std::string_view(digits).substr(0, 64)), 1e63);
}

TEST(MonitorReply, PairsOfFiguresNoneOrAnythingElse) {
  const MonitorPair host = parseMonitorPair("0.52 1.00\n");
  EXPECT_EQ(host.answer, MonitorAnswer::FIGURES);
  EXPECT_DOUBLE_EQ(host.first, 0.52);
  EXPECT_DOUBLE_EQ(host.second, 1.0);
  EXPECT_DOUBLE_EQ(parseMonitorPair("123456 789\n").second, 789.0);  // NET's whole numbers
  EXPECT_EQ(parseMonitorPair("none\n").answer, MonitorAnswer::NOT_FOUND);
  for (const char* other : {"Invalid command\n", "0.25\n", "0.25 \n", " 0.25 1\n", "0.25 1",
                            "0.25 1 2\n", "1e3 1\n", "nan 1\n", "", "none"}) {
    EXPECT_EQ(parseMonitorPair(other).answer, MonitorAnswer::UNKNOWN) << '"' << other << '"';
  }
}

TEST(MonitorClient, BadTextsAndFailedLookUpsAreReported) {
  const struct {
    const char* text;
    std::string message;
  } CASES[] = {
      {"", "Invalid monitor host \"\"\n"},
      {"x", "Invalid monitor host \"x\"\n"},
      {"h:", "Invalid monitor host and port \"h:\"\n"},
      {"h:80x", "Invalid monitor host and port \"h:80x\"\n"},
      {"h:1:2", "Invalid monitor host and port \"h:1:2\"\n"},
      {"h:99999999999", "Invalid monitor host and port \"h:99999999999\"\n"},
      {":80", "Cannot look up remote monitoring host: " + std::to_string(EAI_NONAME) + "\n"},
  };
  for (const auto& c : CASES) {
    int fd = 0;
    EXPECT_EQ(connectCapturing(c.text, fd), c.message);
    EXPECT_EQ(fd, -1) << c.text;
  }
}

// The port of a loopback address, as text.
std::string portOf(const sockaddr_storage& address) {
  return std::to_string(ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port));
}

std::string connectFailure(int error, const std::string& port) {
  return "Connection error: " + std::to_string(error) +
         "\nCannot connect to remote monitoring host \"127.0.0.1 on port " + port + "\n";
}

TEST(MonitorClient, RefusedConnectionNamesHostAndPort) {
  // Bound but not listening: connections are refused, and the port stays ours.
  sockaddr_storage address{};
  const UniqueFd held = bindLoopback(AF_INET, &address);
  ASSERT_TRUE(held.Valid());
  int fd = 0;
  EXPECT_EQ(connectCapturing("127.0.0.1:" + portOf(address), fd),
            connectFailure(ECONNREFUSED, portOf(address)));
  EXPECT_EQ(fd, -1);
}

// A listener whose queue is full drops new SYNs, so the system would keep a blocking
// connect waiting for minutes; the monitor connect gives up after its 5 s instead.
TEST(MonitorClient, ConnectThatIsNeverAnsweredGivesUp) {
  sockaddr_storage address{};
  const UniqueFd listener = bindLoopback(AF_INET, &address);
  ASSERT_TRUE(listener.Valid());
  ASSERT_EQ(::listen(listener.Get(), 0), 0);
  // Connections that are never accepted fill the queue.
  std::vector<UniqueFd> fillers;
  for (int i = 0; i < 2; ++i) {
    fillers.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    static_cast<void>(::connect(fillers.back().Get(), reinterpret_cast<sockaddr*>(&address),
                                sizeof(sockaddr_in)));
  }
  const auto started = std::chrono::steady_clock::now();
  int fd = 0;
  EXPECT_EQ(connectCapturing("127.0.0.1:" + portOf(address), fd),
            connectFailure(ETIMEDOUT, portOf(address)));
  EXPECT_EQ(fd, -1);
  // Far below the system's own limit of about two minutes, however busy the machine.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
}

TEST(MonitorClient, EachQueryIsOneCommandAndOneReply) {
  FakeMonitor monitor(0, "0.25\n");
  FakeMonitor confused(0, "Invalid command\n");
  ASSERT_TRUE(monitor.Listening() && confused.Listening());
  int fd = -1;
  // White space around the port text is allowed.
  EXPECT_EQ(connectCapturing(monitor.HostAndPort() + " ", fd), "");
  ASSERT_GE(fd, 0);
  EXPECT_DOUBLE_EQ(monitorQuery(MONITOR_CPU_COMMAND, fd), 0.25);
  EXPECT_DOUBLE_EQ(monitorQuery(MONITOR_MEM_COMMAND, fd), 0.25);
  EXPECT_EQ(monitor.Received(), "cpu\nmem\n");
  ::close(fd);
  connectCapturing(confused.HostAndPort(), fd);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(monitorQuery(MONITOR_CPU_COMMAND, fd), 0.0);
  EXPECT_GE(fd, 0);  // a reply that is no number is no failure
  ::close(fd);
}

TEST(MonitorClient, PortTakesTheLowSixteenBits) {
  FakeMonitor monitor(4464, "0.5\n");
  if (!monitor.Listening() && monitor.ListenError() == EADDRINUSE) {
    GTEST_SKIP() << "port 4464 is in use here";
  }
  ASSERT_TRUE(monitor.Listening()) << monitor.ListenError();
  int fd = -1;
  const std::string errors = connectCapturing("127.0.0.1:70000", fd);  // 70000 - 65536
  ASSERT_GE(fd, 0) << errors;
  EXPECT_DOUBLE_EQ(monitorQuery(MONITOR_CPU_COMMAND, fd), 0.5);
  ::close(fd);
}

}  // namespace
}  // namespace kelv
