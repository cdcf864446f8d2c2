#include "lib/transport/tls_socket.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "testing/loopback_sockets.h"
#include "testing/test_certs.h"
#include "testing/tls_test_server.h"

namespace kelv {
namespace {

using Step = TlsTestServer::Step;

constexpr int SLICE_MILLIS = 10;
constexpr int MAX_ROUNDS = 500;  // with SLICE_MILLIS, five seconds at most
constexpr size_t UNTOUCHED = 99;
const std::string PING = "ping";
const std::string PONG = "pong";

SslCtxPtr clientContext(bool verify, const std::string& caFile = "") {
  SslCtxPtr context(SSL_CTX_new(TLS_client_method()));
  SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE);
  if (verify) SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  if (!caFile.empty()) {
    EXPECT_EQ(SSL_CTX_load_verify_locations(context.get(), caFile.c_str(), nullptr), 1);
  }
  return context;
}

bool wantsIo(const IoResult& result) {
  return result.status.ok() &&
         (result.ioStatus == IoStatus::NEED_READ || result.ioStatus == IoStatus::NEED_WRITE);
}

// Waits one slice for either end to have something to read (a negative descriptor is skipped).
void waitSlice(int clientFd, int serverFd) {
  pollfd entries[] = {{clientFd, POLLIN, 0}, {serverFd, POLLIN, 0}};
  static_cast<void>(poll(entries, 2, SLICE_MILLIS));  // a timeout just means "try again"
}

// One step of the server: take the connection, then carry the handshake on.
void advanceServer(TlsTestServer& server) {
  if (server.ConnectionFd() < 0) {
    static_cast<void>(server.Accept());
  } else {
    static_cast<void>(server.Handshake());
  }
}

// Repeats a client operation until it stops asking for I/O, letting the server take a step
// before every retry.
IoResult settle(TlsTestServer& server, const TLSSocket& client,
                const std::function<IoResult()>& attempt) {
  IoResult result = attempt();
  for (int round = 0; round < MAX_ROUNDS && wantsIo(result); ++round) {
    waitSlice(client.Fd(), server.ConnectionFd());
    advanceServer(server);
    result = attempt();
  }
  return result;
}

// Repeats a server step until it is done or fails.
Step serverUntilDone(TlsTestServer& server, const std::function<Step()>& attempt) {
  Step step = attempt();
  for (int round = 0; round < MAX_ROUNDS && step == Step::AGAIN; ++round) {
    waitSlice(-1, server.ConnectionFd());
    step = attempt();
  }
  return step;
}

class TLSSocketTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certificates = std::make_unique<TestCertificates>(makeTestCertificates());
  }
  static void TearDownTestSuite() { certificates.reset(); }

  static const TestCertificates& Certs() { return *certificates; }

  // Connects to the server as the host and writes PING through the handshake.
  static IoResult ConnectAndSend(TLSSocket& client, TlsTestServer& server, std::string_view host,
                                 SSL_CTX* context) {
    IoResult connected = client.Connect(server.Address(), host, context);
    if (!connected.status.ok()) return connected;
    size_t written = 0;
    IoResult result =
        settle(server, client, [&] { return client.Write(PING.data(), PING.size(), &written); });
    if (result.status.ok() && written != PING.size()) ADD_FAILURE() << "wrote " << written;
    return result;
  }

  // The server reads until it holds the whole text.
  static bool ServerReceives(TlsTestServer& server, const std::string& text) {
    std::string received;
    const Step step = serverUntilDone(server, [&] {
      const Step read = server.Read(&received);
      return read == Step::DONE && received.size() < text.size() ? Step::AGAIN : read;
    });
    EXPECT_EQ(received, text);
    return step == Step::DONE && received == text;
  }

  // A connection that has carried PING to the server.
  void Establish(TLSSocket& client, TlsTestServer& server) {
    ASSERT_TRUE(server.Listening());
    const IoResult sent = ConnectAndSend(client, server, "localhost", plainContext.get());
    ASSERT_TRUE(sent.status.ok()) << sent.status;
    ASSERT_EQ(sent.ioStatus, IoStatus::OK);
    ASSERT_TRUE(ServerReceives(server, PING));
  }

  IoResult ReadClient(TLSSocket& client, TlsTestServer& server, char* buffer, size_t capacity,
                      size_t* count) {
    return settle(server, client, [&] { return client.Read(buffer, capacity, count); });
  }

  static inline std::unique_ptr<TestCertificates> certificates;
  SslCtxPtr plainContext = clientContext(false);
};

TEST_F(TLSSocketTest, FirstWriteWaitsForTheHandshakeThenDataFlowsBothWays) {
  TlsTestServer server(Certs().serverCert, Certs().serverKey);
  ASSERT_TRUE(server.Listening());
  TLSSocket client;
  ASSERT_TRUE(client.Connect(server.Address(), "localhost", plainContext.get()).status.ok());
  ASSERT_NE(waitForEvents(client.Fd(), POLLOUT, MAX_ROUNDS * SLICE_MILLIS) & POLLOUT, 0);

  // The hello is out; the server has not answered, so the write waits for readability.
  size_t written = UNTOUCHED;
  const IoResult first = client.Write(PING.data(), PING.size(), &written);
  ASSERT_TRUE(first.status.ok()) << first.status;
  EXPECT_EQ(first.ioStatus, IoStatus::NEED_READ);
  EXPECT_EQ(written, 0u);

  const IoResult sent =
      settle(server, client, [&] { return client.Write(PING.data(), PING.size(), &written); });
  ASSERT_TRUE(sent.status.ok()) << sent.status;
  ASSERT_EQ(sent.ioStatus, IoStatus::OK);
  EXPECT_EQ(written, PING.size());
  ASSERT_TRUE(ServerReceives(server, PING));

  char buffer[16];
  size_t count = UNTOUCHED;
  const IoResult idle = client.Read(buffer, sizeof buffer, &count);
  ASSERT_TRUE(idle.status.ok()) << idle.status;
  EXPECT_EQ(idle.ioStatus, IoStatus::NEED_READ);
  EXPECT_EQ(count, 0u);

  ASSERT_EQ(serverUntilDone(server, [&] { return server.Write(PONG); }), Step::DONE);
  const IoResult reply = ReadClient(client, server, buffer, sizeof buffer, &count);
  ASSERT_TRUE(reply.status.ok()) << reply.status;
  ASSERT_EQ(reply.ioStatus, IoStatus::OK);
  EXPECT_EQ(std::string(buffer, count), PONG);
}

TEST_F(TLSSocketTest, PeerCloseNotifyEndsTheStreamAndCloseCompletesAtOnce) {
  TlsTestServer server(Certs().serverCert, Certs().serverKey);
  TLSSocket client;
  Establish(client, server);
  ASSERT_EQ(server.SendCloseNotify(), Step::DONE);

  char buffer[16];
  size_t count = UNTOUCHED;
  const IoResult ended = ReadClient(client, server, buffer, sizeof buffer, &count);
  ASSERT_TRUE(ended.status.ok()) << ended.status;
  EXPECT_EQ(ended.ioStatus, IoStatus::END_OF_STREAM);
  EXPECT_EQ(count, 0u);

  // Both notifications are then exchanged: the descriptor goes at once.
  const IoResult closed = client.Close();
  ASSERT_TRUE(closed.status.ok()) << closed.status;
  EXPECT_EQ(closed.ioStatus, IoStatus::OK);
  EXPECT_EQ(client.Fd(), -1);
  std::string rest;
  EXPECT_EQ(serverUntilDone(server, [&] { return server.Read(&rest); }), Step::FAILED);
  EXPECT_TRUE(server.ClientClosedCleanly());
}

TEST_F(TLSSocketTest, DroppedStreamIsATlsErrorAndCloseThenJustDropsToo) {
  TlsTestServer server(Certs().serverCert, Certs().serverKey);
  TLSSocket client;
  Establish(client, server);
  server.Drop();

  char buffer[16];
  size_t count = UNTOUCHED;
  const IoResult broken = ReadClient(client, server, buffer, sizeof buffer, &count);
  EXPECT_EQ(broken.status.code, StatusCode::TLS_ERROR);
  EXPECT_EQ(count, 0u);
  const char* reason =
      ERR_reason_error_string(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_UNEXPECTED_EOF_WHILE_READING));
  ASSERT_NE(reason, nullptr);
  EXPECT_NE(broken.status.message.find(reason), std::string::npos) << broken.status;

  const IoResult closed = client.Close();
  EXPECT_TRUE(closed.status.ok()) << closed.status;
  EXPECT_EQ(client.Fd(), -1);
}

TEST_F(TLSSocketTest, ResetStreamIsATlsErrorWithTheSystemsText) {
  TlsTestServer server(Certs().serverCert, Certs().serverKey);
  TLSSocket client;
  Establish(client, server);
  size_t written = 0;
  ASSERT_EQ(client.Write(PING.data(), PING.size(), &written).ioStatus, IoStatus::OK);
  // Closing with that request unread makes the peer's kernel answer with a reset.
  ASSERT_NE(waitForEvents(server.ConnectionFd(), POLLIN, MAX_ROUNDS * SLICE_MILLIS), 0);
  server.Drop();

  char buffer[16];
  size_t count = UNTOUCHED;
  const IoResult broken = ReadClient(client, server, buffer, sizeof buffer, &count);
  EXPECT_EQ(broken.status.code, StatusCode::TLS_ERROR);
  EXPECT_EQ(broken.status.message, std::strerror(ECONNRESET));
}

TEST_F(TLSSocketTest, CloseWaitsForThePeersNotify) {
  TlsTestServer server(Certs().serverCert, Certs().serverKey);
  TLSSocket client;
  Establish(client, server);

  const IoResult closing = client.Close();
  ASSERT_TRUE(closing.status.ok()) << closing.status;
  EXPECT_EQ(closing.ioStatus, IoStatus::NEED_READ);
  EXPECT_GE(client.Fd(), 0);

  std::string rest;
  ASSERT_EQ(serverUntilDone(server, [&] { return server.Read(&rest); }), Step::FAILED);
  ASSERT_TRUE(server.ClientClosedCleanly());
  ASSERT_EQ(server.SendCloseNotify(), Step::DONE);
  size_t unused = UNTOUCHED;
  const IoResult done = settle(server, client, [&] { return client.Read(nullptr, 0, &unused); });
  ASSERT_TRUE(done.status.ok()) << done.status;
  EXPECT_EQ(done.ioStatus, IoStatus::END_OF_STREAM);
}

TEST_F(TLSSocketTest, CloseEndsWhenThePeerHangsUpAfterOurNotify) {
  // A peer that hangs up without reading our notify resets the stream; one that reads it
  // first ends the stream plainly. Either way the close is over.
  for (const bool peerReadsNotify : {false, true}) {
    TlsTestServer server(Certs().serverCert, Certs().serverKey);
    TLSSocket client;
    Establish(client, server);
    ASSERT_EQ(client.Close().ioStatus, IoStatus::NEED_READ);
    if (peerReadsNotify) {
      std::string rest;
      ASSERT_EQ(serverUntilDone(server, [&] { return server.Read(&rest); }), Step::FAILED);
    }
    server.Drop();
    size_t unused = UNTOUCHED;
    const IoResult done = settle(server, client, [&] { return client.Read(nullptr, 0, &unused); });
    ASSERT_TRUE(done.status.ok()) << "peer reads notify " << peerReadsNotify << ": " << done.status;
    EXPECT_EQ(done.ioStatus, IoStatus::END_OF_STREAM);
  }
}

TEST_F(TLSSocketTest, ServerNameLongerThanTheLimitFailsConnect) {
  TlsTestServer server(Certs().serverCert, Certs().serverKey);
  ASSERT_TRUE(server.Listening());
  TLSSocket longest;
  EXPECT_TRUE(
      longest
          .Connect(server.Address(), std::string(TLSEXT_MAXLEN_host_name, 'a'), plainContext.get())
          .status.ok());
  TLSSocket tooLong;
  const Status refused =
      tooLong
          .Connect(server.Address(), std::string(TLSEXT_MAXLEN_host_name + 1, 'a'),
                   plainContext.get())
          .status;
  EXPECT_EQ(refused.code, StatusCode::TLS_ERROR);
}

class TLSSocketVerifyTest : public TLSSocketTest {
 protected:
  // The outcome of sending through the handshake with a verifying client.
  IoResult SendVerified(const std::string& certFile, const std::string& keyFile,
                        const std::string& host, SSL_CTX* context, int family = AF_INET) {
    TlsTestServer server(certFile, keyFile, family);
    if (!server.Listening()) return IoResult{Status(StatusCode::INTERNAL_ERROR, "no server")};
    TLSSocket client;
    IoResult result = ConnectAndSend(client, server, host, context);
    if (result.status.ok()) {
      EXPECT_TRUE(ServerReceives(server, PING)) << host;
    }
    return result;
  }

  static void ExpectVerifyFailure(const IoResult& result, const std::string& host) {
    EXPECT_EQ(result.status.code, StatusCode::TLS_ERROR) << host;
    const char* reason =
        ERR_reason_error_string(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_CERTIFICATE_VERIFY_FAILED));
    ASSERT_NE(reason, nullptr);
    EXPECT_NE(result.status.message.find(reason), std::string::npos) << result.status;
  }

  SslCtxPtr verifying = clientContext(true, Certs().caCert);
};

TEST_F(TLSSocketVerifyTest, AcceptsTheHostTheCertificateNames) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    const IoResult result =
        SendVerified(Certs().serverCert, Certs().serverKey, host, verifying.get());
    EXPECT_TRUE(result.status.ok()) << host << ": " << result.status;
  }
  if (!ipv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback here";
  const IoResult v6 =
      SendVerified(Certs().serverCert, Certs().serverKey, "::1", verifying.get(), AF_INET6);
  EXPECT_TRUE(v6.status.ok()) << v6.status;
}

TEST_F(TLSSocketVerifyTest, RefusesAValidCertificateForAnotherHost) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    ExpectVerifyFailure(SendVerified(Certs().otherCert, Certs().otherKey, host, verifying.get()),
                        host);
  }
  // The name in the certificate is honoured when it is the one asked for.
  const IoResult named =
      SendVerified(Certs().otherCert, Certs().otherKey, "other.invalid", verifying.get());
  EXPECT_TRUE(named.status.ok()) << named.status;
}

TEST_F(TLSSocketVerifyTest, RefusesACertificateWithoutItsAuthority) {
  const SslCtxPtr untrusting = clientContext(true);
  ExpectVerifyFailure(
      SendVerified(Certs().serverCert, Certs().serverKey, "localhost", untrusting.get()),
      "localhost");
}

TEST_F(TLSSocketVerifyTest, WithoutVerificationAnyCertificateIsAccepted) {
  const IoResult result =
      SendVerified(Certs().otherCert, Certs().otherKey, "127.0.0.1", plainContext.get());
  EXPECT_TRUE(result.status.ok()) << result.status;
}

}  // namespace
}  // namespace kelv
