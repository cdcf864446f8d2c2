// The connection state machine against real loopback servers: the bytes on the wire as the
// server received them, and how each kind of response or failure is counted.

#include "lib/engine/connection.h"

#include <gtest/gtest.h>
#include <http_parser.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "testing/engine_test_util.h"
#include "lib/signing/oauth.h"
#include "lib/targets/target_url.h"
#include "lib/transport/address_list.h"
#include "testing/loopback.h"
#include "testing/scripted_server.h"
#include "testing/test_certs.h"

namespace kelv {
namespace {

constexpr char ONE_REQUEST_PATH[] = "/a?b=1";

// One request of one connection to ONE_REQUEST_PATH; the bytes the server received.
std::string sentByOneRequest(IOThread& thread, ScriptedTarget& target) {
  RunCounts counts = runToEnd(thread);
  EXPECT_EQ(counts.record.successful, 1);
  target.server.Stop();
  std::vector<std::string> received = target.server.Received();
  return received.size() == 1 ? received[0] : "";
}

TEST(Connection, SendsExactGetRequestWithAndWithoutKeepAlive) {
  for (int noKeepAlive : {0, 1}) {
    ScriptedTarget target({}, ONE_REQUEST_PATH);
    ASSERT_TRUE(target.Started());
    auto thread = makeThread(1, true);
    thread->noKeepAlive = noKeepAlive;
    std::string expected = "GET /a?b=1 HTTP/1.1\r\nUser-Agent: kelv\r\nHost: " + target.HostPort() +
                           "\r\n" + (noKeepAlive ? "Connection: close\r\n" : "") + "\r\n";
    EXPECT_EQ(sentByOneRequest(*thread, target), expected) << "noKeepAlive " << noKeepAlive;
  }
}

TEST(Connection, SendsBodyAndUserHeadersAfterGeneratedOnes) {
  std::vector<std::string> userHeaders = {"Content-Type: application/json", "X-Trace: 7"};
  ScriptedTarget target({}, ONE_REQUEST_PATH);
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(1, true);
  thread->method = "POST";
  thread->sendData = "hello";
  thread->headers = &userHeaders;
  thread->headerFlags = HEADER_CONTENT_TYPE;
  EXPECT_EQ(sentByOneRequest(*thread, target),
            "POST /a?b=1 HTTP/1.1\r\nUser-Agent: kelv\r\nHost: " + target.HostPort() +
                "\r\nContent-Length: 5\r\nContent-Type: application/json\r\nX-Trace: 7\r\n"
                "\r\nhello");
}

TEST(Connection, UserHeadersReplaceEveryGeneratedOne) {
  std::vector<std::string> userHeaders = {"Host: other", "Content-Length: 3", "User-Agent: me",
                                          "Connection: keep-alive", "Content-Type: a/b"};
  ScriptedTarget target({}, ONE_REQUEST_PATH);
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(1, true);
  thread->method = "PUT";
  thread->sendData = "abc";
  thread->noKeepAlive = 1;
  thread->headers = &userHeaders;
  thread->headerFlags = HEADER_HOST | HEADER_CONTENT_LENGTH | HEADER_USER_AGENT |
                        HEADER_CONNECTION | HEADER_CONTENT_TYPE;
  EXPECT_EQ(sentByOneRequest(*thread, target),
            "PUT /a?b=1 HTTP/1.1\r\nHost: other\r\nContent-Length: 3\r\nUser-Agent: me\r\n"
            "Connection: keep-alive\r\nContent-Type: a/b\r\n\r\nabc");
}

// Each signed request is composed afresh; a shorter signature must leave nothing of the
// previous request behind, so the stream splits into whole requests.
TEST(Connection, SignsEveryRequestAfreshWithoutLeftovers) {
  OAuthCredentials credentials{"key", "secret", "token", "tokensecret"};
  std::vector<std::string> userHeaders = {"Authorization: Basic dTpw"};
  ScriptedTarget target({}, "/p?x=1");
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(1);
  thread->oauth = &credentials;
  thread->headers = &userHeaders;
  RunCounts counts = runUntilServed(*thread, target.server, 5);
  target.server.Stop();
  std::vector<std::string> received = target.server.Received();
  ASSERT_EQ(received.size(), 1u);
  std::vector<std::string> requests = splitRequests(received[0]);
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(static_cast<int>(requests.size()), counts.record.successful);
  std::set<std::string> signatures;
  for (const std::string& request : requests) {
    EXPECT_EQ(request.rfind("GET /p?x=1 HTTP/1.1\r\nUser-Agent: kelv\r\nHost: ", 0), 0u);
    size_t oauth = request.find("\r\nAuthorization: OAuth ");
    size_t basic = request.find("\r\nAuthorization: Basic dTpw\r\n\r\n");
    ASSERT_NE(oauth, std::string::npos) << request;
    EXPECT_GT(basic, oauth) << "the user's line follows the generated ones";
    signatures.insert(request.substr(oauth, request.find("\r\n", oauth + 2) - oauth));
  }
  EXPECT_EQ(signatures.size(), requests.size()) << "every nonce and signature differs";
}

TEST(Connection, KeepAliveReusesConnectionsAndCountsAgreeWithServer) {
  ScriptedTarget target;
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(2);
  RunCounts counts = runUntilServed(*thread, target.server, 20);
  ScriptedServerStats stats = target.server.Stop();
  EXPECT_EQ(stats.connections, 2);
  EXPECT_EQ(counts.connectionsOpened, 2);
  EXPECT_GT(stats.requests, 10);
  EXPECT_EQ(counts.record.successful, stats.requests);
  EXPECT_EQ(counts.record.unsuccessful, 0);
  EXPECT_EQ(counts.socketErrors, 0);
  EXPECT_EQ(counts.record.latencies.Count(), static_cast<uint64_t>(stats.requests));
  const size_t requestSize =
      std::string("GET / HTTP/1.1\r\nUser-Agent: kelv\r\nHost: \r\n\r\n").size() +
      target.HostPort().size();
  EXPECT_EQ(counts.record.bytesWritten, requestSize * static_cast<size_t>(stats.requests));
}

TEST(Connection, KeepAliveOffOpensOneConnectionPerRequest) {
  ScriptedTarget target;
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(2);
  thread->noKeepAlive = 1;
  RunCounts counts = runUntilServed(*thread, target.server, 6);
  ScriptedServerStats stats = target.server.Stop();
  EXPECT_GT(stats.requests, 4);
  EXPECT_EQ(stats.connections, stats.requests);
  EXPECT_EQ(counts.connectionsOpened, stats.requests);
  EXPECT_EQ(counts.record.successful, stats.requests);
  EXPECT_EQ(counts.socketErrors, 0);
}

// "Connection: close", and HTTP/1.0 without keep-alive: each response ends its connection,
// and the next request goes to the same target on a new one, with the same bytes.
TEST(Connection, ServerDecliningKeepAliveReconnectsToSameTarget) {
  for (const char* behaviour : {"close", "http10"}) {
    ScriptedTarget target(scripted(behaviour), "/same");
    ASSERT_TRUE(target.Started());
    auto thread = makeThread(1);
    thread->verbose = true;
    RunCounts counts = runUntilServed(*thread, target.server, 4);
    ScriptedServerStats stats = target.server.Stop();
    EXPECT_GT(stats.requests, 2) << behaviour;
    EXPECT_EQ(stats.connections, stats.requests) << behaviour;
    EXPECT_EQ(counts.record.successful, stats.requests) << behaviour;
    EXPECT_EQ(counts.connectionsOpened, stats.requests) << behaviour;
    EXPECT_EQ(counts.socketErrors, 0) << behaviour;
    EXPECT_EQ(countOccurrences(counts.verbose, "Server does not want keep-alive\n"),
              stats.requests);
    for (const std::string& bytes : target.server.Received()) {
      EXPECT_EQ(bytes.rfind("GET /same HTTP/1.1\r\n", 0), 0u) << behaviour;
    }
  }
}

TEST(Connection, RefusedPortCountsOneConnectionAndOneErrorPerAttempt) {
  TargetListForTest targets({"http://127.0.0.1:" + std::to_string(pickFreeLoopbackPort()) + "/"});
  auto thread = makeThread(1);
  thread->verbose = true;
  RunCounts counts = runFor(*thread, 200);
  EXPECT_GT(counts.connectionsOpened, 5) << "reconnects at once, without a pause";
  EXPECT_EQ(counts.socketErrors, counts.connectionsOpened);
  EXPECT_EQ(counts.Errors(ErrorKind::REFUSED), counts.socketErrors)
      << "refused, although the connect itself succeeded";
  EXPECT_EQ(counts.record.successful + counts.record.unsuccessful, 0);
  EXPECT_EQ(counts.verbose.find("Thinking for"), std::string::npos);
}

// The only target, with no address: every connect attempt fails before a socket is made.
struct AddresslessTarget {
  AddresslessTarget() { TargetUrl::List().front()->addresses = AddressList(); }
  TargetListForTest targets{{"http://127.0.0.1:1/"}};
};

TEST(Connection, HostWithoutAddressRetriesEveryQuarterSecond) {
  AddresslessTarget target;
  auto thread = makeThread(2, true);
  thread->verbose = true;
  OutputCapture err(STDERR_FILENO);
  OutputCapture out(STDOUT_FILENO);
  ASSERT_TRUE(thread->Start().ok());
  EXPECT_FALSE(joinWithin(*thread, 1100)) << "a connection that cannot connect keeps trying";
  std::string verbose = out.Finish();
  std::string errors = err.Finish();
  RunCounts counts = collect(*thread);
  // Each attempt says why, with the reason rather than a code.
  int lines = countOccurrences(errors, "Error opening TCP connection: no address\n");
  EXPECT_EQ(lines * static_cast<int>(sizeof "Error opening TCP connection: no address\n" - 1),
            static_cast<int>(errors.size()))
      << errors;
  // Two connections, about 1.1 s: 5 attempts each, but never a busy loop.
  EXPECT_GE(lines, 4);
  EXPECT_LE(lines, 12);
  EXPECT_EQ(counts.Errors(ErrorKind::NO_ADDRESS), lines);
  EXPECT_EQ(counts.socketErrors, lines);
  EXPECT_EQ(counts.connectionsOpened, 0);
  EXPECT_EQ(countOccurrences(verbose, "Thinking for 0.2500 seconds\n"), lines);
}

// A connection its thread has removed would otherwise go on trying to connect for ever.
TEST(Connection, RemovedConnectionStopsRetryingItsConnect) {
  AddresslessTarget target;
  auto thread = makeThread(2);
  thread->verbose = true;
  OutputCapture err(STDERR_FILENO);
  OutputCapture out(STDOUT_FILENO);
  ASSERT_TRUE(thread->Start().ok());
  thread->SetNumConnections(1);
  EXPECT_TRUE(out.WaitFor("Connection 1 closed and done\n", 5000));
  static_cast<void>(thread->SwapCounters());  // what came before the removal
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  const int64_t laterErrors = errorTotal(*thread->SwapCounters());
  thread->RequestStop(0);
  EXPECT_TRUE(joinWithin(*thread, 5000));
  out.Finish();
  err.Finish();
  // Only connection 0 retries now: about two attempts, and surely fewer than two connections'.
  EXPECT_GE(laterErrors, 1);
  EXPECT_LE(laterErrors, 3);
}

TEST(Connection, ConnectsOverIpv6Loopback) {
  ScriptedServerOptions options;
  options.ipv6 = true;
  ScriptedTarget target(options);
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(1, true);
  thread->verbose = true;
  RunCounts counts = runToEnd(*thread);
  EXPECT_EQ(counts.record.successful, 1);
  EXPECT_NE(counts.verbose.find("Connecting to ::1. (TLS = 0)\n"), std::string::npos);
  target.server.Stop();
  std::vector<std::string> received = target.server.Received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_NE(received[0].find("\r\nHost: [::1]:" + std::to_string(target.server.Port()) + "\r\n"),
            std::string::npos);
}

TEST(Connection, ResponseInThreePiecesEndsWithTheLastPiece) {
  ScriptedServerOptions options = scripted("split");
  options.pauseMillis = 100;
  ScriptedTarget target(options);
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(1, true);
  thread->verbose = true;
  RunCounts counts = runToEnd(*thread);
  EXPECT_EQ(counts.record.successful, 1);
  ASSERT_EQ(counts.record.latencies.Count(), 1u);
  EXPECT_GE(counts.record.latencies.Min(), 2 * 100 * 1000000LL) << "two pauses lie in the response";
  EXPECT_EQ(countOccurrences(counts.verbose, "Successfully read "), 3) << counts.verbose;
  EXPECT_EQ(countOccurrences(counts.verbose, "I/O would block on read\n"), 2);
  EXPECT_EQ(counts.socketErrors, 0);
}

TEST(Connection, NotFoundCountsUnsuccessfulWithLatencyAndKeepsConnection) {
  ScriptedTarget target(scripted("notfound"));
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(1);
  RunCounts counts = runUntilServed(*thread, target.server, 4);
  ScriptedServerStats stats = target.server.Stop();
  EXPECT_EQ(stats.connections, 1);
  EXPECT_GT(stats.requests, 2);
  EXPECT_EQ(counts.record.successful, 0);
  EXPECT_EQ(counts.record.unsuccessful, stats.requests);
  EXPECT_EQ(counts.record.latencies.Count(), static_cast<uint64_t>(stats.requests));
  EXPECT_EQ(counts.socketErrors, 0);
}

// Every failure of the read phase: one socket error of its kind, no result, a new connection
// to the same target, and the verbose lines that tell which it was.
TEST(Connection, ReadFailuresCountOneErrorAndReconnect) {
  struct Case {
    const char* behaviour;
    PhaseResult code;
    ErrorKind kind;
    std::string line;
  };
  const Case cases[] = {
      {"garbage", PhaseResult::PARSE_ERROR, ErrorKind::PARSE,
       "Parsing error " + std::to_string(static_cast<int>(HPE_INVALID_CONSTANT)) + "\n"},
      {"close-no-answer", PhaseResult::STREAM_ENDED, ErrorKind::CLOSED_EARLY,
       "Successfully read 0 bytes\n"},
      {"reset", PhaseResult::READ_FAILED, ErrorKind::RESET,
       std::string("Error reading from socket: Socket error: ") + strerror(ECONNRESET) + "\n"},
  };
  for (const Case& c : cases) {
    // A kept-alive connection fails on its second request.
    ScriptedTarget target(scripted(c.behaviour, 1));
    ASSERT_TRUE(target.Started());
    auto thread = makeThread(1);
    thread->verbose = true;
    RunCounts counts = runUntilServed(*thread, target.server, 7);
    ScriptedServerStats stats = target.server.Stop();
    EXPECT_GT(stats.connections, 2) << c.behaviour;
    EXPECT_EQ(counts.connectionsOpened, stats.connections) << c.behaviour;
    EXPECT_EQ(counts.record.successful, stats.connections) << c.behaviour;
    EXPECT_EQ(counts.socketErrors, stats.requests - stats.connections) << c.behaviour;
    EXPECT_EQ(counts.Errors(c.kind), counts.socketErrors) << c.behaviour;
    const std::string code = "Error on read: " + std::to_string(static_cast<int>(c.code)) + "\n";
    EXPECT_NE(counts.verbose.find(c.line), std::string::npos) << c.behaviour << "\n" << c.line;
    EXPECT_NE(counts.verbose.find(code), std::string::npos) << c.behaviour << "\n" << code;
  }
}

TEST(Connection, BodyEndedByClosingTheStreamCompletesOnThePlainPath) {
  ScriptedTarget target(scripted("eof-body"));
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(3, true);
  RunCounts counts = runToEnd(*thread);
  EXPECT_EQ(counts.record.successful, 3);
  EXPECT_EQ(counts.socketErrors, 0);
  EXPECT_EQ(target.server.Stop().requests, 3);
}

// A response to HEAD carries no body although it announces one; waiting for it would stall
// the connection until the server gives up.
TEST(Connection, HeadResponseCompletesWithoutBody) {
  ScriptedTarget target;
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(1);
  thread->method = "HEAD";
  RunCounts counts = runUntilServed(*thread, target.server, 4);
  ScriptedServerStats stats = target.server.Stop();
  EXPECT_GT(stats.requests, 2);
  EXPECT_EQ(counts.record.successful, stats.requests);
  EXPECT_EQ(counts.socketErrors, 0);
}

// The bytes after an upgrade's head are left to the next request's parser: they must end
// in a parse error and a new connection, never in a stall or a read past the buffer.
TEST(Connection, BytesAfterUpgradeEndInParseErrorAndReconnect) {
  ScriptedServerOptions options = scripted("upgrade");
  options.body = std::string(20000, 'u');
  ScriptedTarget target(options);
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(1);
  RunCounts counts = runUntilServed(*thread, target.server, 5);
  ScriptedServerStats stats = target.server.Stop();
  EXPECT_GT(stats.connections, 1);
  EXPECT_EQ(counts.record.unsuccessful, stats.connections) << "one 101 per connection";
  EXPECT_EQ(counts.record.successful, 0);
  // The last connection may have been stopped before its second request.
  EXPECT_GE(counts.socketErrors, stats.connections - 1);
  EXPECT_LE(counts.socketErrors, stats.connections);
}

TEST(Connection, ThinkTimeSeparatesRequestsOutsideTheLatency) {
  ScriptedTarget target;
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(1);
  thread->thinkTime = 150;
  thread->verbose = true;
  RunCounts counts = runFor(*thread, 400);
  EXPECT_GE(counts.record.successful, 2);
  EXPECT_LE(counts.record.successful, 5) << "a pause lies between two requests";
  EXPECT_GE(countOccurrences(counts.verbose, "Thinking for 0.1500 seconds\n"), 1);
  EXPECT_EQ(countOccurrences(counts.verbose, "Thinking for 0.1500 seconds\n"),
            countOccurrences(counts.verbose, "Think time over\n"));
  EXPECT_LT(counts.record.latencies.Max(), 150 * 1000000LL);
}

TEST(Connection, VerboseLinesOfTheFirstRequestOnAPlainConnection) {
  ScriptedTarget target;
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(1);
  thread->verbose = true;
  const std::string verbose = runFor(*thread, 100).verbose;
  std::string request = "GET / HTTP/1.1\r\nUser-Agent: kelv\r\nHost: " + target.HostPort() + "\r\n";
  std::string response =
      "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\nok";
  size_t sent = request.size() + 2;
  std::string expected =
      "Connecting to 127.0.0.1. (TLS = 0)\n" + request + "\n" + "Total send is " +
      std::to_string(sent) + " bytes\n" + "I/O ready on write path: 2\n" + "Successfully wrote " +
      std::to_string(sent) + " bytes\n" + "Write complete. Starting to read\n" +
      "I/O ready on read path: 1\n" + "Successfully read " + std::to_string(response.size()) +
      " bytes\n" + response + "Parsed " + std::to_string(response.size()) + "\n" +
      "I/O ready on write path: 2\n" + "Successfully wrote";
  size_t start = verbose.find("Connecting to");
  ASSERT_NE(start, std::string::npos) << verbose;
  EXPECT_EQ(verbose.substr(start, expected.size()), expected);
  EXPECT_EQ(verbose.find("libev backend = select\n"), verbose.find("\n") + 1) << verbose;
}

// TLS through every step: handshake inside the first write, a close notification from the
// server, and this side's shutdown.
TEST(Connection, TlsRequestsRunThroughTheFullClosePath) {
  TestCertificates certs = makeTestCertificates();
  ScriptedTarget target(scriptedTls(certs, "close"));
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(2);
  thread->verbose = true;
  RunCounts counts = runUntilServed(*thread, target.server, 5);
  const std::string& verbose = counts.verbose;
  ScriptedServerStats stats = target.server.Stop();
  EXPECT_GT(stats.requests, 2);
  EXPECT_EQ(counts.record.successful, stats.requests);
  EXPECT_EQ(counts.connectionsOpened, stats.connections);
  EXPECT_EQ(counts.socketErrors, 0);
  EXPECT_NE(verbose.find("Connecting to 127.0.0.1. (TLS = 1)\n"), std::string::npos);
  EXPECT_NE(verbose.find("I/O would block on read while writing\nSwitching I/O direction\n"),
            std::string::npos)
      << "the handshake makes the first write wait for a read";
  EXPECT_EQ(countOccurrences(verbose, "Close complete\n"), counts.connectionsOpened);
  EXPECT_EQ(verbose.find("error"), std::string::npos);
}

// How a TLS stream that ends is told apart. A close notification ends a body without length
// or chunking as a plain close does; before a complete response it is "closed early" (-2), and
// so is a TCP stream dropped without one (-3), which may be a cut-off response.
TEST(Connection, TlsStreamEndCompletesOrCountsAsClosedEarly) {
  TestCertificates certs = makeTestCertificates();
  struct Case {
    const char* behaviour;
    bool drop;
    const char* line;  // empty: every response completes
  };
  const Case cases[] = {{"eof-body", false, ""},
                        {"eof-body", true, "Error on read: -3\n"},
                        {"close-no-answer", false, "EOF. Done = 0\nError on read: -2\n"},
                        {"close-no-answer", true, "Error on read: -3\n"}};
  for (const Case& c : cases) {
    ScriptedServerOptions options = scriptedTls(certs, c.behaviour, 1);
    options.tlsDrop = c.drop;
    ScriptedTarget target(options);
    ASSERT_TRUE(target.Started());
    auto thread = makeThread(1);
    thread->verbose = true;
    RunCounts counts = runUntilServed(*thread, target.server, 5);
    ScriptedServerStats stats = target.server.Stop();
    const std::string name = std::string(c.behaviour) + (c.drop ? " dropped" : " notified");
    EXPECT_GT(stats.connections, 1) << name;
    const bool completes = *c.line == '\0';
    EXPECT_EQ(counts.record.successful, completes ? stats.requests : stats.connections) << name;
    EXPECT_EQ(counts.socketErrors, completes ? 0 : stats.requests - stats.connections) << name;
    EXPECT_EQ(counts.Errors(ErrorKind::CLOSED_EARLY), counts.socketErrors) << name;
    if (!completes) {
      EXPECT_NE(counts.verbose.find(c.line), std::string::npos) << name;
    }
  }
}

}  // namespace
}  // namespace kelv
