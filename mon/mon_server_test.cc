#include "mon/mon_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "mon/mon_test_client.h"

namespace kelv {
namespace {

constexpr const char* LOOPBACK = "127.0.0.1";

class MonServerTest : public testing::Test {
 protected:
  void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
};

TEST_F(MonServerTest, StopEndsTheListenerButNotItsClients) {
  MonServer server;
  ASSERT_EQ(server.Start(LOOPBACK, 0), MON_START_OK);
  const int port = server.Port();
  ASSERT_GT(port, 0);
  MonTestClient client(port);
  ASSERT_TRUE(client.Connected());
  EXPECT_EQ(client.Ask("HELLO\n"), "Hi!\n");

  server.Stop();
  EXPECT_EQ(server.Port(), -1);
  MonTestClient late(port);
  EXPECT_FALSE(late.Connected());
  EXPECT_EQ(late.ConnectError(), ECONNREFUSED);
  // The connection accepted before goes on until its client leaves.
  EXPECT_EQ(client.Ask("hello\n"), "Hi!\n");
  bool closed = false;
  ASSERT_TRUE(client.Send("bye\n"));
  EXPECT_EQ(client.ReadUntilClosed(&closed), "BYE\n");
  EXPECT_TRUE(closed);
  // Stopping or joining again is harmless.
  server.Stop();
  server.Join();
}

TEST_F(MonServerTest, DestroyedWhileRunningStopsItself) {
  int port = 0;
  {
    MonServer server;
    ASSERT_EQ(server.Start(LOOPBACK, 0), MON_START_OK);
    port = server.Port();
    MonTestClient client(port);
    EXPECT_EQ(client.Ask("HELLO\n"), "Hi!\n");
  }
  MonTestClient late(port);
  EXPECT_EQ(late.ConnectError(), ECONNREFUSED);
}

TEST_F(MonServerTest, FailedBindReportsAndClosesTheListener) {
  MonServer first;
  ASSERT_EQ(first.Start(LOOPBACK, 0), MON_START_OK);
  MonServer second;
  testing::internal::CaptureStderr();
  EXPECT_EQ(second.Start(LOOPBACK, first.Port()), MON_START_BIND_FAILED);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Can't bind to port: " + std::to_string(EADDRINUSE) + "\n");
  EXPECT_EQ(second.Port(), -1);  // no listening socket left behind
  second.Stop();
  first.Stop();
}

TEST_F(MonServerTest, AcceptedDescriptorZeroIsAClientLikeAnyOther) {
  MonServer server;
  ASSERT_EQ(server.Start(LOOPBACK, 0), MON_START_OK);
  UniqueFd socketFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(socketFd.Valid());
  // Free descriptor 0, so that the server's next accept returns it.
  UniqueFd savedStdin(::dup(0));
  ASSERT_TRUE(savedStdin.Valid());
  ::close(0);
  MonTestClient client(std::move(socketFd), server.Port());
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(client.Send("HELLO\nBYE\n"));
  bool closed = false;
  const std::string replies = client.ReadUntilClosed(&closed);
  // Once the server has closed the connection, descriptor 0 is free again.
  ASSERT_EQ(::dup2(savedStdin.Get(), 0), 0);
  EXPECT_EQ(replies, "Hi!\nBYE\n");
  EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace kelv
