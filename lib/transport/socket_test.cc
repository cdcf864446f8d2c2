#include "lib/transport/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/util/unique_fd.h"
#include "testing/loopback_sockets.h"

namespace kelv {
namespace {

constexpr int WAIT_MILLIS = 5000;
constexpr size_t UNTOUCHED = 12345;
constexpr size_t CHUNK = 64 * 1024;
// Far beyond any socket buffer pair on loopback, yet a bound on a test gone wrong.
constexpr size_t MAX_FILL = 256 * 1024 * 1024;
constexpr int SMALL_BUFFER = 4096;

// A write to a connection that the peer has reset must fail, not kill the whole test run.
class IgnoreSigpipe : public ::testing::Environment {
 public:
  void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
};
[[maybe_unused]] ::testing::Environment* const IGNORE_SIGPIPE =
    ::testing::AddGlobalTestEnvironment(new IgnoreSigpipe);

// The descriptor number that the next open would get.
int lowestFreeDescriptor() {
  const UniqueFd probe(open("/dev/null", O_RDONLY | O_CLOEXEC));
  return probe.Get();
}

UniqueFd acceptOne(int listener) {
  if ((waitForEvents(listener, POLLIN, WAIT_MILLIS) & POLLIN) == 0) return UniqueFd();
  return UniqueFd(accept(listener, nullptr, nullptr));
}

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener = listenOnLoopback(AF_INET, &address);
    ASSERT_TRUE(listener.Valid()) << std::strerror(errno);
  }

  sockaddr_storage address = {};
  UniqueFd listener;
};

TEST_F(SocketTest, ConnectsWithoutBlockingAndCarriesBytesBothWays) {
  Socket client;
  ASSERT_TRUE(client.Connect(address).status.ok());
  ASSERT_GE(client.Fd(), 0);
  EXPECT_NE(fcntl(client.Fd(), F_GETFL) & O_NONBLOCK, 0);
  int noDelay = 0;
  socklen_t size = sizeof noDelay;
  ASSERT_EQ(getsockopt(client.Fd(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
  EXPECT_NE(noDelay, 0);

  const UniqueFd peer = acceptOne(listener.Get());
  ASSERT_TRUE(peer.Valid());
  ASSERT_NE(waitForEvents(client.Fd(), POLLOUT, WAIT_MILLIS) & POLLOUT, 0);
  size_t written = UNTOUCHED;
  IoResult result = client.Write("hello", 5, &written);
  ASSERT_TRUE(result.status.ok()) << result.status;
  EXPECT_EQ(result.ioStatus, IoStatus::OK);
  EXPECT_EQ(written, 5u);
  char received[16] = {};
  ASSERT_EQ(read(peer.Get(), received, sizeof received), 5);
  EXPECT_STREQ(received, "hello");

  char buffer[16] = {};
  size_t count = UNTOUCHED;
  result = client.Read(buffer, sizeof buffer, &count);
  ASSERT_TRUE(result.status.ok()) << result.status;
  EXPECT_EQ(result.ioStatus, IoStatus::NEED_READ);
  EXPECT_EQ(count, UNTOUCHED);

  ASSERT_EQ(write(peer.Get(), "bye", 3), 3);
  ASSERT_NE(waitForEvents(client.Fd(), POLLIN, WAIT_MILLIS) & POLLIN, 0);
  result = client.Read(buffer, sizeof buffer, &count);
  ASSERT_TRUE(result.status.ok()) << result.status;
  EXPECT_EQ(result.ioStatus, IoStatus::OK);
  EXPECT_EQ(std::string(buffer, count), "bye");
}

TEST_F(SocketTest, PeerCloseReadsAsZeroBytes) {
  Socket client;
  ASSERT_TRUE(client.Connect(address).status.ok());
  UniqueFd peer = acceptOne(listener.Get());
  ASSERT_TRUE(peer.Valid());
  peer.Reset();
  ASSERT_NE(waitForEvents(client.Fd(), POLLIN, WAIT_MILLIS), 0);
  char buffer[16];
  size_t count = UNTOUCHED;
  const IoResult result = client.Read(buffer, sizeof buffer, &count);
  ASSERT_TRUE(result.status.ok()) << result.status;
  EXPECT_EQ(result.ioStatus, IoStatus::OK);
  EXPECT_EQ(count, 0u);
}

TEST_F(SocketTest, WriteIntoAFullBufferNeedsWrite) {
  int small = SMALL_BUFFER;
  Socket client;
  ASSERT_TRUE(client.Connect(address).status.ok());
  ASSERT_EQ(setsockopt(client.Fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  // The listener never accepts, so nothing reads what the client sends.
  ASSERT_NE(waitForEvents(client.Fd(), POLLOUT, WAIT_MILLIS) & POLLOUT, 0);
  const std::vector<char> chunk(CHUNK, 'x');
  size_t total = 0;
  IoResult result;
  size_t written = 0;
  while (total < MAX_FILL) {
    written = UNTOUCHED;
    result = client.Write(chunk.data(), chunk.size(), &written);
    if (!result.status.ok() || result.ioStatus != IoStatus::OK) break;
    total += written;
  }
  ASSERT_TRUE(result.status.ok()) << result.status;
  EXPECT_EQ(result.ioStatus, IoStatus::NEED_WRITE) << "wrote " << total << " bytes";
  EXPECT_EQ(written, UNTOUCHED);
}

TEST(Socket, RefusedConnectionSurfacesOnTheFirstWriteOrRead) {
  sockaddr_storage address = {};
  // Bound but not listening: the port is held, and every connection to it is refused.
  const UniqueFd reserved = bindLoopback(AF_INET, &address);
  ASSERT_TRUE(reserved.Valid()) << std::strerror(errno);

  Socket writer;
  ASSERT_TRUE(writer.Connect(address).status.ok());
  ASSERT_NE(waitForEvents(writer.Fd(), POLLOUT, WAIT_MILLIS), 0);
  size_t written = UNTOUCHED;
  const IoResult onWrite = writer.Write("x", 1, &written);
  EXPECT_EQ(onWrite.status.code, StatusCode::SOCKET_ERROR);
  EXPECT_EQ(onWrite.status.message, std::strerror(ECONNREFUSED));
  EXPECT_EQ(onWrite.fault, IoFault::SYSTEM);
  EXPECT_EQ(onWrite.systemError, ECONNREFUSED) << "the engine tells a refusal by it";

  Socket reader;
  ASSERT_TRUE(reader.Connect(address).status.ok());
  ASSERT_NE(waitForEvents(reader.Fd(), POLLIN, WAIT_MILLIS), 0);
  char buffer[4];
  size_t count = UNTOUCHED;
  const IoResult onRead = reader.Read(buffer, sizeof buffer, &count);
  EXPECT_EQ(onRead.status.code, StatusCode::SOCKET_ERROR);
  EXPECT_EQ(onRead.status.message, std::strerror(ECONNREFUSED));
}

TEST(Socket, FailedConnectLeavesNoDescriptorBehind) {
  const int lowest = lowestFreeDescriptor();

  sockaddr_storage unspecified = {};
  unspecified.ss_family = AF_UNSPEC;
  Socket none;
  const Status noSocket = none.Connect(unspecified).status;
  EXPECT_EQ(noSocket.code, StatusCode::SOCKET_ERROR);
  EXPECT_EQ(noSocket.message, std::strerror(EAFNOSUPPORT));
  EXPECT_EQ(none.Fd(), -1);

  // A local socket is created, then refused the TCP options: the descriptor must go.
  sockaddr_storage local = {};
  local.ss_family = AF_UNIX;
  Socket refused;
  EXPECT_EQ(refused.Connect(local).status.code, StatusCode::SOCKET_ERROR);
  EXPECT_EQ(refused.Fd(), -1);

  EXPECT_EQ(lowestFreeDescriptor(), lowest);
}

TEST_F(SocketTest, AfterCloseTheDestructorClosesNothing) {
  auto client = std::make_unique<Socket>();
  ASSERT_TRUE(client->Connect(address).status.ok());
  const int number = client->Fd();
  const IoResult closed = client->Close();
  ASSERT_TRUE(closed.status.ok()) << closed.status;
  EXPECT_EQ(client->Fd(), -1);
  // The number is free again; whoever takes it next must keep it.
  const UniqueFd successor(open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(successor.Get(), number);
  client.reset();
  EXPECT_NE(fcntl(successor.Get(), F_GETFD), -1);
}

// Restores standard input however the test ends.
class StdinClosed {
 public:
  StdinClosed() : saved(dup(STDIN_FILENO)) { close(STDIN_FILENO); }
  ~StdinClosed() {
    dup2(saved, STDIN_FILENO);
    close(saved);
  }

 private:
  int saved;
};

TEST_F(SocketTest, DescriptorZeroIsARealDescriptor) {
  const StdinClosed stdinClosed;
  {
    Socket client;
    ASSERT_TRUE(client.Connect(address).status.ok());
    EXPECT_EQ(client.Fd(), 0);
  }
  // The destructor closed descriptor 0 like any other.
  EXPECT_EQ(fcntl(STDIN_FILENO, F_GETFD), -1);
}

}  // namespace
}  // namespace kelv
