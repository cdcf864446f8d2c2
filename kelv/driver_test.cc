#include "kelv/driver.h"

#include <ev.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <string>

#include "kelv/exit_status.h"
#include "kelv/tls_context.h"
#include "testing/scratch_dir.h"
#include "testing/test_certs.h"

namespace kelv {
namespace {

Settings settingsFor(int concurrency, int numThreads) {
  Settings settings;
  settings.url = "http://127.0.0.1:1/";
  settings.concurrency = concurrency;
  settings.numThreads = numThreads;
  return settings;
}

// Runs configureThread on a thread that is never started, keeping standard error.
ConfigureResult configure(const Settings& settings, IOThread& thread, std::string* err,
                          int index = 0) {
  testing::internal::CaptureStderr();
  ConfigureResult result = configureThread(index, thread, settings);
  *err = testing::internal::GetCapturedStderr();
  return result;
}

TEST(Driver, ThreadCountUsesProcessorsAndIsCappedByConnections) {
  EXPECT_EQ(threadCount(16, 10, 2), 10);
  EXPECT_EQ(threadCount(4, 10, 2), 4);
  EXPECT_EQ(threadCount(0, 10, 2), 2);
  EXPECT_EQ(threadCount(-1, 10, 8), 8);
  EXPECT_EQ(threadCount(-1, 3, 8), 3);
  EXPECT_EQ(threadCount(0, 10, 0), 1);  // a processor count that could not be read
}

TEST(Driver, ConnectionSharesGiveTheRemainderToTheFirstThreads) {
  EXPECT_EQ(connectionShare(0, 10, 4), 3);
  EXPECT_EQ(connectionShare(1, 10, 4), 3);
  EXPECT_EQ(connectionShare(2, 10, 4), 2);
  EXPECT_EQ(connectionShare(3, 10, 4), 2);
  for (int concurrency = 1; concurrency <= 40; ++concurrency) {
    for (int threads = 1; threads <= concurrency; ++threads) {
      int sum = 0, low = concurrency, high = 0;
      for (int i = 0; i < threads; ++i) {
        const int share = connectionShare(i, concurrency, threads);
        sum += share;
        low = std::min(low, share);
        high = std::max(high, share);
        if (i > 0) {
          EXPECT_LE(share, connectionShare(i - 1, concurrency, threads));
        }
      }
      EXPECT_EQ(sum, concurrency) << concurrency << " over " << threads;
      EXPECT_LE(high - low, 1) << concurrency << " over " << threads;
    }
  }
}

TEST(Driver, ConfigureThreadHandsOverTheSettings) {
  Settings settings = settingsFor(10, 4);
  settings.verbose = true;
  settings.cipherList = "HIGH";
  settings.headerLines = {"X-A: 1"};
  settings.headerFlags = 0x21;
  settings.thinkTime = 25;
  settings.keepAlive = 0;
  settings.oneRequest = true;
  settings.oauthCredentials = OAuthCredentials{"k", "s", "", ""};
  IOThread thread;
  std::string err;
  ASSERT_EQ(configure(settings, thread, &err, 2), ConfigureResult::OK) << err;
  EXPECT_EQ(thread.index, 2);
  EXPECT_EQ(thread.numConnections, 2);
  EXPECT_TRUE(thread.verbose);
  EXPECT_EQ(thread.method, "GET");
  EXPECT_EQ(thread.cipherList, "HIGH");
  EXPECT_EQ(thread.headers, &settings.headerLines);  // shared, not copied
  EXPECT_EQ(thread.headerFlags, 0x21u);
  EXPECT_EQ(thread.thinkTime, 25u);
  EXPECT_EQ(thread.noKeepAlive, 1);
  EXPECT_EQ(thread.keepRunning, -1);
  EXPECT_EQ(thread.oauth, settings.OAuth());
  EXPECT_TRUE(thread.sendData.empty());
  ASSERT_NE(thread.sslCtx, nullptr);
  EXPECT_NE(SSL_CTX_get_mode(thread.sslCtx.get()) & SSL_MODE_ENABLE_PARTIAL_WRITE, 0u);
  EXPECT_EQ(SSL_CTX_get_verify_mode(thread.sslCtx.get()), SSL_VERIFY_NONE);
  EXPECT_EQ(SSL_CTX_get_info_callback(thread.sslCtx.get()), &tlsInfoCallback);
}

TEST(Driver, TimedRunDefaultsKeepAliveAndNoTlsDiagnostics) {
  Settings settings = settingsFor(3, 1);
  settings.verifyPeer = true;
  IOThread thread;
  std::string err;
  ASSERT_EQ(configure(settings, thread, &err), ConfigureResult::OK) << err;
  EXPECT_EQ(thread.numConnections, 3);
  EXPECT_EQ(thread.noKeepAlive, 0);
  EXPECT_EQ(thread.keepRunning, 1);
  EXPECT_EQ(thread.oauth, nullptr);
  ASSERT_NE(thread.sslCtx, nullptr);
  EXPECT_EQ(SSL_CTX_get_verify_mode(thread.sslCtx.get()), SSL_VERIFY_PEER);
  EXPECT_EQ(SSL_CTX_get_info_callback(thread.sslCtx.get()), nullptr);
}

// One-request mode always ends: without --timeout its requests get 30 s. A timed run waits
// as long as the server takes, unless a timeout is given.
TEST(Driver, RequestTimeoutDefaultsOnlyInOneRequestMode) {
  constexpr int64_t SECOND = 1000000000;
  struct Case {
    bool oneRequest;
    double timeoutSeconds;
    int64_t expected;
  };
  for (const Case& c : {Case{true, 0, 30 * SECOND}, Case{true, 0.5, SECOND / 2}, Case{false, 0, 0},
                        Case{false, 2.25, 2250000000}}) {
    Settings settings = settingsFor(1, 1);
    settings.oneRequest = c.oneRequest;
    settings.timeoutSeconds = c.timeoutSeconds;
    IOThread thread;
    std::string err;
    ASSERT_EQ(configure(settings, thread, &err), ConfigureResult::OK) << err;
    EXPECT_EQ(thread.requestTimeout, c.expected) << c.oneRequest << " " << c.timeoutSeconds;
    EXPECT_NE(thread.failureNotices, nullptr) << "first errors are shown";
  }
}

TEST(Driver, BodyFileIsReadWholeAndChoosesPost) {
  ScratchDir dir;
  const std::string body("line one\n\0binary\xff\r\n", 19);
  ASSERT_TRUE(dir.WriteFile("body.bin", body));
  ASSERT_TRUE(dir.WriteFile("empty.bin", ""));
  Settings settings = settingsFor(1, 1);
  settings.inputFile = dir.File("body.bin");
  IOThread posting;
  std::string err;
  ASSERT_EQ(configure(settings, posting, &err), ConfigureResult::OK) << err;
  EXPECT_EQ(posting.sendData, body);
  EXPECT_EQ(posting.method, "POST");

  settings.inputFile = dir.File("empty.bin");
  settings.method = "PUT";
  IOThread putting;
  ASSERT_EQ(configure(settings, putting, &err), ConfigureResult::OK) << err;
  EXPECT_EQ(putting.sendData, "");
  EXPECT_EQ(putting.method, "PUT");  // an explicit method wins over the body's POST
}

TEST(Driver, UnreadableBodyFileStopsBeforeTheTlsContext) {
  ScratchDir dir;
  Settings settings = settingsFor(1, 1);
  for (const std::string& path : {dir.File("missing.bin"), dir.Path()}) {
    settings.inputFile = path;
    IOThread thread;
    std::string err;
    EXPECT_EQ(configure(settings, thread, &err), ConfigureResult::INPUT_FILE_UNREADABLE) << path;
    EXPECT_EQ(thread.sslCtx, nullptr);
    EXPECT_NE(err.find("input file " + path + "\n"), std::string::npos) << err;
  }
  settings.inputFile = dir.File("missing.bin");
  IOThread thread;
  std::string err;
  static_cast<void>(configure(settings, thread, &err));
  EXPECT_EQ(err, "Cannot open input file " + dir.File("missing.bin") + "\n");
}

TEST(Driver, TlsContextFailuresAreReportedByName) {
  ScratchDir dir;
  Settings settings = settingsFor(1, 1);
  settings.caFile = dir.File("no-such-ca.pem");
  settings.cipherList = "NO-SUCH-CIPHER";
  IOThread missingCa;
  std::string err;
  // The CA file is looked at before the cipher list.
  EXPECT_EQ(configure(settings, missingCa, &err), ConfigureResult::TLS_CONTEXT_FAILED);
  EXPECT_EQ(err, "Could not load CA certificates from " + settings.caFile + "\n");

  settings.caFile.clear();
  IOThread badCipher;
  EXPECT_EQ(configure(settings, badCipher, &err), ConfigureResult::TLS_CONTEXT_FAILED);
  EXPECT_EQ(err, "Set Cipher list to NO-SUCH-CIPHER failed\n");

  TestCertificates certs = makeTestCertificates();
  settings.caFile = certs.caCert;
  settings.cipherList = "ECDHE-ECDSA-AES128-GCM-SHA256";
  IOThread good;
  EXPECT_EQ(configure(settings, good, &err), ConfigureResult::OK) << err;
  EXPECT_NE(good.sslCtx, nullptr);
}

// A thread without a loop would idle silently through the whole run: it ends the run instead,
// in a timed run (with a second thread that must not be left running) and in one-request mode.
TEST(Driver, LoopThatCannotBeCreatedEndsTheRunBeforeItStarts) {
  IOThread::SetBackendFlagsForTest(EVBACKEND_KQUEUE | EVBACKEND_PORT);  // none on Linux
  for (bool oneRequest : {false, true}) {
    Settings settings = settingsFor(2, 2);
    settings.durationSeconds = 1;  // were the run to go on, it would report after a second
    settings.oneRequest = oneRequest;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = runDriver(settings);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, EXIT_STATUS_START_FAILED) << oneRequest;
    EXPECT_EQ(err, "Cannot create the event loop of I/O thread 0\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "no report";
  }
  IOThread::SetBackendFlagsForTest(0);
}

}  // namespace
}  // namespace kelv
