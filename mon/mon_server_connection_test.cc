#include "mon/mon_server_connection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "lib/hoststats/host_stats.h"
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
    *closes = connection->ProcessCommand(line, usage);
    char reply[FRACTION_TEXT_SIZE];
    const ssize_t got = ::recv(peer.Get(), reply, sizeof reply, MSG_DONTWAIT);
    return got > 0 ? std::string(reply, static_cast<size_t>(got)) : std::string();
  }

  std::unique_ptr<MonServerConnection> connection;
  UniqueFd peer;
  CpuSample usage;
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
