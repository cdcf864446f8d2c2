#include "mon/mon_server_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "lib/hoststats/host_stats.h"
#include "lib/hoststats/proc_files.h"
#include "mon/mon_server.h"
#include "mon/mon_test_client.h"

namespace kelv {
namespace {

// A connection over one end of a socket pair; the test reads its replies from the other.
class ConnectionPair {
 public:
  ConnectionPair() {
    std::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) std::abort();
    connection = std::make_unique<MonServerConnection>(ends[0]);
    peer = UniqueFd(ends[1]);
  }

  // What the connection sent in answer to one command line.
  std::string Answer(std::string_view line, bool* closes) {
    *closes = connection->ProcessCommand(line, state);
    char reply[FRACTION_TEXT_SIZE];
    const ssize_t got = ::recv(peer.Get(), reply, sizeof reply, MSG_DONTWAIT);
    return got > 0 ? std::string(reply, static_cast<size_t>(got)) : std::string();
  }

  std::unique_ptr<MonServerConnection> connection;
  UniqueFd peer;
  MonClientState state{hostProcFiles()};
};

TEST(MonServerConnection, AnswersWholeCommandsInAnyLetterCase) {
  ConnectionPair pair;
  bool closes = true;
  for (const char* hello : {"HELLO", "hello", "HeLlO"}) {
    EXPECT_EQ(pair.Answer(hello, &closes), "Hi!\n") << hello;
    EXPECT_FALSE(closes);
  }
  for (const char* figure : {"CPU", "cpu", "Mem", "MEM"}) {
    EXPECT_TRUE(isFigureReply(pair.Answer(figure, &closes))) << figure;
    EXPECT_FALSE(closes);
  }
  for (const char* line : {"", "hello ", " HELLO", "HELLOO", "CPU\t", "BYE!", "Q"}) {
    EXPECT_EQ(pair.Answer(line, &closes), "Invalid command\n") << '"' << line << '"';
    EXPECT_FALSE(closes);
  }
  EXPECT_EQ(pair.Answer(std::string_view("BYE\0", 4), &closes), "Invalid command\n");
  for (const char* bye : {"BYE", "bye", "Quit", "QUIT"}) {
    EXPECT_EQ(pair.Answer(bye, &closes), "BYE\n") << bye;
    EXPECT_TRUE(closes);
  }
}

// Two figures and a blank: two-decimal fractions or MiB, or whole numbers.
bool isPairReply(const std::string& reply, bool decimals) {
  const size_t blank = reply.find(' ');
  if (blank == std::string::npos) return false;
  const std::string first = reply.substr(0, blank) + "\n";
  const std::string second = reply.substr(blank + 1);
  if (decimals) return isFigureReply(first) && isFigureReply(second);
  return first.find_first_not_of("0123456789") == first.size() - 1 &&
         second.find_first_not_of("0123456789") == second.size() - 1 && first.size() > 1 &&
         second.size() > 1;
}

TEST(MonServerConnection, HostProcessAndNetInAnyLetterCase) {
  ConnectionPair pair;
  bool closes = true;
  for (const char* host : {"HOST", "host", "HoSt"}) {
    EXPECT_TRUE(isPairReply(pair.Answer(host, &closes), true)) << host;
  }
  for (const char* net : {"NET", "net"}) EXPECT_TRUE(isPairReply(pair.Answer(net, &closes), false));
  const std::string self = std::to_string(::getpid());
  for (const std::string& proc : {"PROC " + self, "proc " + self}) {
    const std::string reply = pair.Answer(proc, &closes);
    ASSERT_TRUE(isPairReply(reply, true)) << reply;
    EXPECT_GT(std::atof(reply.c_str() + reply.find(' ')), 0.0) << "this process's memory";
  }
  EXPECT_EQ(pair.Answer("PROC no-such-name", &closes), "none\n");
  EXPECT_EQ(pair.Answer("PROC 2147483647", &closes), "none\n");
  EXPECT_FALSE(closes);
  for (const char* line :
       {"PROC", "PROC ", "PROCnginx", "PROC\tnginx", "HOST ", "NET 1", "HOSTS"}) {
    EXPECT_EQ(pair.Answer(line, &closes), "Invalid command\n") << '"' << line << '"';
  }
}

TEST(ProcessArgument, EverythingAfterTheWordAndOneBlank) {
  EXPECT_EQ(processArgument("PROC nginx"), "nginx");
  EXPECT_EQ(processArgument("pRoC Web Content"), "Web Content");
  EXPECT_EQ(processArgument("PROC  x"), " x");
  EXPECT_FALSE(processArgument("PROC"));
  EXPECT_FALSE(processArgument("PROC "));
  EXPECT_FALSE(processArgument("PRO nginx"));
}

TEST(MonServerConnection, ReplyToAClosedPeerDoesNotRaiseSigpipe) {
  ConnectionPair pair;
  std::signal(SIGPIPE, SIG_DFL);
  pair.peer.Reset();
  bool closes = true;
  // With the default action a broken-pipe signal would end this test program here.
  EXPECT_EQ(pair.Answer("HELLO", &closes), "");
  EXPECT_EQ(pair.Answer("MEM", &closes), "");
  std::signal(SIGPIPE, SIG_IGN);
}

TEST(FormatFraction, TwoDecimalsAndALineEnd) {
  // The figure check the other tests rely on rejects near misses.
  EXPECT_FALSE(isFigureReply("0.5\n"));
  EXPECT_FALSE(isFigureReply("1e-3\n"));
  EXPECT_FALSE(isFigureReply("0.50"));
  FractionText text;
  EXPECT_EQ(formatFraction(0.0, text), "0.00\n");
  EXPECT_EQ(formatFraction(0.256, text), "0.26\n");
  EXPECT_EQ(formatFraction(0.004, text), "0.00\n");
  EXPECT_EQ(formatFraction(1.0, text), "1.00\n");
  EXPECT_EQ(formatFraction(-0.5, text), "-0.50\n");
  // No exponent and no truncation, whatever the value.
  const std::string_view huge = formatFraction(1e300, text);
  EXPECT_EQ(huge.size(), 301u + 4u);
  EXPECT_EQ(huge.substr(huge.size() - 4), ".00\n");
  EXPECT_EQ(huge.find('e'), std::string_view::npos);
  EXPECT_EQ(formatHostReply(HostBusy{0.256, 1.0}, text), "0.26 1.00\n");
  EXPECT_EQ(formatProcessReply(ProcessFigures{1.5, 2.004}, text), "1.50 2.00\n");
  EXPECT_EQ(formatProcessReply(std::nullopt, text), "none\n");
  EXPECT_EQ(formatNetReply(NetRates{123456789012, 0}, text), "123456789012 0\n");
  EXPECT_EQ(formatHostReply(HostBusy{1e300, 1e300}, text).size(), 2 * (301u + 3u) + 2u);
}

TEST(MonPortFromText, ReadsLikeAtoiKeepingSixteenBits) {
  EXPECT_EQ(monPortFromText("0"), 0);
  EXPECT_EQ(monPortFromText("abc"), 0);
  EXPECT_EQ(monPortFromText(""), 0);
  EXPECT_EQ(monPortFromText("  8080"), 8080);
  EXPECT_EQ(monPortFromText("+12x"), 12);
  EXPECT_EQ(monPortFromText("65535"), 65535);
  EXPECT_EQ(monPortFromText("65536"), 0);
  EXPECT_EQ(monPortFromText("65537"), 1);
  EXPECT_EQ(monPortFromText("-1"), 65535);
  // Far beyond int: saturates instead of overflowing.
  EXPECT_EQ(monPortFromText("99999999999999999999999"), 65535);
}

}  // namespace
}  // namespace kelv
