// How failures are told apart and bounded: request timeouts, the wait for a TLS close
// notification, the kind of a transport failure, and the first-of-its-kind notices.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "lib/engine/connection.h"
#include "testing/engine_test_util.h"
#include "lib/engine/failures.h"
#include "testing/scripted_server.h"
#include "testing/test_certs.h"

namespace kelv {
namespace {

constexpr int64_t TIMEOUT_NANOS = 300000000;  // 0.3 s

// Each connection's first request is answered, its second never: it times out, gets no
// latency sample, and the connection goes on with a new one.
TEST(RequestTimeout, UnansweredRequestTimesOutAndTheConnectionCarriesOn) {
  ScriptedTarget target(scripted("hang", 1));
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(2);
  thread->requestTimeout = TIMEOUT_NANOS;
  RunCounts counts = runUntilServed(*thread, target.server, 8);
  ScriptedServerStats stats = target.server.Stop();
  EXPECT_GE(stats.connections, 4) << "two connections, each replaced after its timeout";
  EXPECT_EQ(counts.record.successful, stats.connections);
  EXPECT_EQ(counts.record.latencies.Count(), static_cast<uint64_t>(stats.connections));
  EXPECT_EQ(counts.Errors(ErrorKind::TIMEOUT), stats.requests - stats.connections);
  EXPECT_EQ(counts.socketErrors, counts.Errors(ErrorKind::TIMEOUT));
  EXPECT_EQ(counts.connectionsOpened, stats.connections);
}

// In one-request mode a server that never answers, plain or over TLS, cannot hold the loop:
// each request times out and the thread ends by itself, without waiting for a TLS goodbye.
TEST(RequestTimeout, OneRequestModeEndsAgainstAServerThatNeverAnswers) {
  TestCertificates certs = makeTestCertificates();
  for (bool tls : {false, true}) {
    ScriptedTarget target(tls ? scriptedTls(certs, "hang") : scripted("hang"));
    ASSERT_TRUE(target.Started());
    auto thread = makeThread(3, true);
    thread->requestTimeout = TIMEOUT_NANOS;
    RunCounts counts = runToEnd(*thread);
    EXPECT_EQ(counts.Errors(ErrorKind::TIMEOUT), 3) << "tls " << tls;
    EXPECT_EQ(counts.socketErrors, 3) << "tls " << tls;
    EXPECT_EQ(counts.record.successful + counts.record.unsuccessful, 0) << "tls " << tls;
  }
}

// A peer that takes this side's close notification and never sends its own would hold a
// closing connection for ever; one-request mode must still end.
TEST(TlsClose, WaitForThePeersCloseNotificationIsBounded) {
  TestCertificates certs = makeTestCertificates();
  ScriptedServerOptions options = scriptedTls(certs, "ok");
  options.tlsHold = true;
  ScriptedTarget target(options);
  ASSERT_TRUE(target.Started());
  auto thread = makeThread(2, true);
  RunCounts counts = runToEnd(*thread);
  EXPECT_EQ(counts.record.successful, 2);
  EXPECT_EQ(counts.socketErrors, 0) << "a close that gives up is no error of the request";
}

IoResult systemFailure(int error) {
  return IoResult{Status::FromErrno(StatusCode::SOCKET_ERROR, error), IoStatus::OK, IoFault::SYSTEM,
                  error};
}

// Linux reports a refused loopback connect either at once or on the first write; both are
// "refused". Before the first byte a failure belongs to the connect.
TEST(ErrorKinds, TransportFailuresMapToTheirKinds) {
  EXPECT_EQ(connectErrorKind(systemFailure(ECONNREFUSED)), ErrorKind::REFUSED);
  EXPECT_EQ(transferErrorKind(systemFailure(ECONNREFUSED), true, false), ErrorKind::REFUSED);
  EXPECT_EQ(connectErrorKind(systemFailure(EADDRNOTAVAIL)), ErrorKind::CONNECT);
  EXPECT_EQ(transferErrorKind(systemFailure(EHOSTUNREACH), true, false), ErrorKind::CONNECT);
  EXPECT_EQ(transferErrorKind(systemFailure(EHOSTUNREACH), true, true), ErrorKind::WRITE);
  EXPECT_EQ(transferErrorKind(systemFailure(ETIMEDOUT), false, true), ErrorKind::READ);
  EXPECT_EQ(transferErrorKind(systemFailure(EPIPE), true, true), ErrorKind::RESET);
  EXPECT_EQ(transferErrorKind(systemFailure(ECONNRESET), false, false), ErrorKind::RESET);
  IoResult truncated{Status(StatusCode::TLS_ERROR, "x"), IoStatus::OK, IoFault::TRUNCATED};
  EXPECT_EQ(transferErrorKind(truncated, false, true), ErrorKind::CLOSED_EARLY);
  IoResult tls{Status(StatusCode::TLS_ERROR, "x"), IoStatus::OK, IoFault::TLS, 0, "bad"};
  EXPECT_EQ(transferErrorKind(tls, true, false), ErrorKind::TLS);
  EXPECT_EQ(connectErrorKind(tls), ErrorKind::TLS);
  EXPECT_EQ(ioFailureReason(tls), "bad");
  EXPECT_EQ(ioFailureReason(systemFailure(ECONNREFUSED)), asPhrase(strerror(ECONNREFUSED)));
  EXPECT_EQ(asPhrase("Connection refused"), "connection refused");
  EXPECT_EQ(asPhrase("TLS failed"), "TLS failed");
}

// Threads race for the first error of each kind: exactly one of them shows it.
TEST(FailureNotices, EachKindIsClaimedOnceAcrossThreads) {
  FailureNotices notices;
  std::atomic<int> claimed[ERROR_KIND_COUNT] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 100; ++round) {
        for (size_t kind = 0; kind < ERROR_KIND_COUNT; ++kind) {
          if (notices.Claim(static_cast<ErrorKind>(kind))) ++claimed[kind];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t kind = 0; kind < ERROR_KIND_COUNT; ++kind) EXPECT_EQ(claimed[kind], 1) << kind;
}

}  // namespace
}  // namespace kelv
