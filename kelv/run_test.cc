// The kelv program against real servers on loopback: nginx over HTTP and HTTPS, and the
// scripted server where the bytes on the wire matter. Every run is bounded by its own
// options and by a timeout.
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "absl/strings/numbers.h"
#include "absl/strings/str_split.h"
#include "kelv/exit_status.h"
#include "testing/output_shape.h"
#include "testing/run_test_util.h"
#include "testing/nginx.h"
#include "testing/oauth_verifier.h"
#include "testing/scratch_dir.h"
#include "testing/scripted_server.h"
#include "testing/subprocess.h"
#include "testing/test_certs.h"

namespace kelv {
namespace {

// The first progress line comes after 5 seconds; a stopped run has exited within its stop
// timeout of 2 seconds, and this bound leaves a wide margin for a loaded machine.
constexpr int FIRST_TICK_MILLIS = 20000;
constexpr int STOPPED_MILLIS = 12000;
// A loaded machine may wake kelv late for a tick, never early.
constexpr int LATE_TICK_SECONDS = 2;

// The elapsed seconds of a phase's progress lines: one line per tick that is due, each at its
// time or a little late.
void expectTicksAt(const std::vector<int>& shown, const std::vector<int>& due) {
  ASSERT_EQ(shown.size(), due.size());
  for (size_t i = 0; i < due.size(); ++i) {
    EXPECT_GE(shown[i], due[i]) << "tick " << i;
    EXPECT_LE(shown[i], due[i] + LATE_TICK_SECONDS) << "tick " << i;
  }
}

// The length of a measured period that ends with the tick due at `seconds`.
void expectDuration(double duration, int seconds) {
  EXPECT_GE(duration, seconds);
  EXPECT_LE(duration, seconds + LATE_TICK_SECONDS);
}

class KelvRun : public testing::Test {
 protected:
  void StartNginx() {
    certs = makeTestCertificates();
    NginxOptions options;
    options.certFile = certs.serverCert;
    options.keyFile = certs.serverKey;
    options.accessLog = true;
    nginx = std::make_unique<NginxServer>(options);
    ASSERT_TRUE(nginx->ok()) << nginx->Error();
  }
  void SetUp() override { StartNginx(); }

  TestCertificates certs;
  std::unique_ptr<NginxServer> nginx;
};

TEST_F(KelvRun, TextReportOverKeepAliveAgreesWithTheServer) {
  SubprocessResult result = runKelv({"-c", "4", "-K", "2", "-d", "2", nginx->HttpUrl()});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  std::map<std::string, double> r = parseTextReport(result.out);
  const int logged = nginx->WaitForLoggedRequests(1, LOG_SETTLE_MILLIS);
  EXPECT_GT(r["Attempted requests"], 0);
  EXPECT_EQ(r["Attempted requests"], r["Successful requests"]);
  EXPECT_EQ(r["Non-200 results"], 0);
  EXPECT_EQ(r["Socket errors"], 0);
  // Requests before the recording started and while the threads stopped reached the
  // server but are not counted.
  EXPECT_LE(r["Attempted requests"], logged);
  EXPECT_LE(r["Connections opened"], 4);
  EXPECT_EQ(nginx->LoggedConnections(), 4);  // kept alive: one connection each, all run
  expectDuration(r["Duration"], 2);
  EXPECT_LE(r["Minimum latency"], r["50% latency"]);
  EXPECT_LE(r["50% latency"], r["90% latency"]);
  EXPECT_LE(r["99% latency"], r["Maximum latency"]);
  EXPECT_GT(r["Total bytes received"] + r["Receive bandwidth"], 0);
  expectTicksAt(progressElapsed(result.out, "", 2), {2});
}

TEST_F(KelvRun, KeepAliveOffOpensAConnectionPerRequest) {
  SubprocessResult result = runKelv({"-c", "2", "-K", "1", "-k", "0", "-d", "2", nginx->HttpUrl()});
  EXPECT_EQ(result.exitStatus, 0);
  std::map<std::string, double> r = parseTextReport(result.out);
  const int logged = nginx->WaitForLoggedRequests(1, LOG_SETTLE_MILLIS);
  EXPECT_GT(r["Successful requests"], 0);
  EXPECT_EQ(nginx->LoggedConnections(), logged);
  // A connection opened in the period may answer after it, or one opened before may
  // answer in it: at most one per connection either way.
  EXPECT_NEAR(r["Connections opened"], r["Attempted requests"], 2);
}

TEST_F(KelvRun, OneRequestModeCountsExactlyAndReportsNon200) {
  SubprocessResult result = runKelv({"-1", "-c", "6", "-K", "2", nginx->HttpUrl("/missing")});
  EXPECT_EQ(result.exitStatus, EXIT_STATUS_NO_SUCCESS) << "complete responses, but none a success";
  EXPECT_EQ(result.err, "");
  std::map<std::string, double> r = parseTextReport(result.out);
  EXPECT_EQ(progressElapsed(result.out, "", 0).size(), 0u);
  EXPECT_EQ(result.out.find("Warming up"), std::string::npos);
  // One thread with thread 0's share of the six connections.
  EXPECT_EQ(r["Attempted requests"], 3);
  EXPECT_EQ(r["Successful requests"], 0);
  EXPECT_EQ(r["Non-200 results"], 3);
  EXPECT_EQ(r["Connections opened"], 3);
  EXPECT_EQ(r["Socket errors"], 0);
  EXPECT_EQ(nginx->WaitForLoggedRequests(3, LOG_SETTLE_MILLIS), 3);
  EXPECT_EQ(nginx->LoggedConnections(), 3);
  EXPECT_NE(nginx->AccessLog().find(" 404 GET /missing"), std::string::npos) << nginx->AccessLog();
}

TEST_F(KelvRun, OneRequestCsvShowsTheComputedThreadCount) {
  SubprocessResult result =
      runKelv({"-1", "-S", "-N", "one", "-c", " 10 ", "-K", "4", nginx->HttpUrl()});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  std::vector<std::string> lines = splitLines(result.out);
  ASSERT_EQ(lines.size(), 1u) << result.out;
  std::vector<std::string> fields = parseCsvLine(lines[0]);
  ASSERT_EQ(fields.size(), 25u);
  EXPECT_EQ(fields[0], "one");
  EXPECT_EQ(intField(fields, 3), 4);   // Threads: the computed count, not the one thread
  EXPECT_EQ(intField(fields, 4), 10);  // Connections
  EXPECT_EQ(intField(fields, 6), 3);   // Completed: 10 / 4 + 1 for thread 0
  EXPECT_EQ(intField(fields, 7), 3);   // Successful
  EXPECT_EQ(intField(fields, 8), 0);   // Errors
  EXPECT_EQ(intField(fields, 9), 3);   // Sockets
  for (size_t column : {18u, 19u, 21u, 22u}) EXPECT_EQ(fields[column], "0");  // no monitors
  EXPECT_EQ(nginx->WaitForLoggedRequests(3, LOG_SETTLE_MILLIS), 3);

  SubprocessResult header = runKelv({"-T"});
  std::vector<std::string> names = absl::StrSplit(splitLines(header.out).at(0), ',');
  EXPECT_EQ(names.size(), fields.size());
}

TEST_F(KelvRun, CsvOutputPrintsNothingDuringTheRun) {
  SubprocessResult result =
      runKelv({"-S", "-w", "1", "-d", "5", "-c", "2", "-K", "1", nginx->HttpUrl()});
  EXPECT_EQ(result.exitStatus, 0);
  std::vector<std::string> lines = splitLines(result.out);
  ASSERT_EQ(lines.size(), 1u) << result.out;
  EXPECT_TRUE(lines[0].starts_with(",")) << "no run name";
  std::vector<std::string> fields = parseCsvLine(lines[0]);
  ASSERT_EQ(fields.size(), 25u);
  double duration = 0;
  ASSERT_TRUE(absl::SimpleAtod(fields[5], &duration));
  EXPECT_GE(duration, 5.0);
  EXPECT_LT(duration, 6.0) << "the warm-up is not part of the measured run";
  EXPECT_GT(intField(fields, 7), 0);
  EXPECT_EQ(intField(fields, 6), intField(fields, 7));
}

TEST_F(KelvRun, ProgressLinesAtEachTickAndOneWarmUpLine) {
  SubprocessResult result =
      runKelv({"-w", "1", "-d", "12", "-c", "2", "-K", "1", nginx->HttpUrl()});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  expectTicksAt(progressElapsed(result.out, "Warming up: ", 1), {1});
  expectTicksAt(progressElapsed(result.out, "", 12), {5, 10, 12});
  // The warm-up line comes first, then the run's lines, then the report.
  EXPECT_TRUE(result.out.starts_with("Warming up: (")) << result.out;
  EXPECT_LT(result.out.rfind(" / 12) "), result.out.find("Duration:"));
  std::map<std::string, double> r = parseTextReport(result.out);
  expectDuration(r["Duration"], 12);
  EXPECT_GT(r["Successful requests"], 0);
}

TEST_F(KelvRun, ConnectionsAreSplitOverTheThreads) {
  SubprocessResult result = runKelv({"-v", "-c", "10", "-K", "4", "-d", "0", nginx->HttpUrl()});
  EXPECT_TRUE(result.out.starts_with("kelv 1.2\n")) << "verbose prints the version first";
  const int expected[] = {3, 3, 2, 2};
  for (int i = 0; i < 4; ++i) {
    const std::string line = "Starting new event loop " + std::to_string(i) + " for " +
                             std::to_string(expected[i]) + " connection\n";
    EXPECT_NE(result.out.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(result.out.find("Starting new event loop 4"), std::string::npos);
  // A duration of 0 still reports, over a recording of almost no time.
  std::map<std::string, double> r = parseTextReport(result.out);
  EXPECT_LT(r["Duration"], 0.5);
  EXPECT_EQ(progressElapsed(result.out, "", 0).size(), 0u);
  EXPECT_EQ(result.exitStatus,
            r["Successful requests"] > 0 ? EXIT_STATUS_OK : EXIT_STATUS_NO_SUCCESS);
}

TEST_F(KelvRun, HttpsWithAndWithoutVerification) {
  SubprocessResult verified =
      runKelv({"-V", "-F", certs.caCert, "-c", "2", "-K", "1", "-d", "1", nginx->HttpsUrl()});
  std::map<std::string, double> good = parseTextReport(verified.out);
  EXPECT_GT(good["Successful requests"], 0);
  EXPECT_EQ(good["Socket errors"], 0);
  EXPECT_EQ(verified.err, "");

  SubprocessResult unverified = runKelv({"-c", "2", "-K", "1", "-d", "1", nginx->HttpsUrl()});
  std::map<std::string, double> open = parseTextReport(unverified.out);
  EXPECT_GT(open["Successful requests"], 0);
  EXPECT_EQ(open["Socket errors"], 0);

  // The test CA is unknown to the system's trust store.
  SubprocessResult refused = runKelv({"-V", "-c", "1", "-K", "1", "-d", "1", nginx->HttpsUrl()});
  EXPECT_EQ(refused.exitStatus, EXIT_STATUS_NO_SUCCESS);
  std::map<std::string, double> bad = parseTextReport(refused.out);
  EXPECT_EQ(bad["Successful requests"], 0);
  EXPECT_EQ(bad["Attempted requests"], 0);
  EXPECT_GT(bad["Socket errors"], 0);
}

TEST(KelvTls, VerificationChecksTheHostName) {
  // A chain the CA vouches for, but for another name than 127.0.0.1.
  TestCertificates certs = makeTestCertificates();
  NginxOptions options;
  options.certFile = certs.otherCert;
  options.keyFile = certs.otherKey;
  NginxServer nginx(options);
  ASSERT_TRUE(nginx.ok()) << nginx.Error();
  SubprocessResult refused =
      runKelv({"-V", "-F", certs.caCert, "-c", "1", "-K", "1", "-d", "1", nginx.HttpsUrl()});
  std::map<std::string, double> bad = parseTextReport(refused.out);
  EXPECT_EQ(bad["Attempted requests"], 0);
  EXPECT_GT(bad["Socket errors"], 0);
  // Without -V nothing is checked.
  SubprocessResult open = runKelv({"-c", "1", "-K", "1", "-d", "1", nginx.HttpsUrl()});
  EXPECT_GT(parseTextReport(open.out)["Successful requests"], 0);
}

TEST_F(KelvRun, VerboseHttpsShowsTheHandshake) {
  SubprocessResult result =
      runKelv({"-v", "-1", "-V", "-F", certs.caCert, "-K", "1", nginx->HttpsUrl()});
  EXPECT_EQ(result.exitStatus, 0);
  std::vector<std::string> lines = splitLines(result.out);
  int stateLines = 0;
  bool protocol = false, cipher = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].starts_with("OpenSSL: ")) ++stateLines;
    if (matchShape(lines[i], "  Protocol: TLSv1{*}")) {
      protocol = true;
      ASSERT_LT(i + 1, lines.size());
      cipher = matchShape(lines[i + 1], "  Cipher: {w} ({n} bits)");
    }
  }
  EXPECT_GT(stateLines, 1) << result.out;
  EXPECT_TRUE(protocol) << result.out;
  EXPECT_TRUE(cipher) << result.out;
  EXPECT_EQ(parseTextReport(result.out)["Successful requests"], 1);
}

// One-request mode makes the load certain: every one of the 500 connections is opened and
// sends its request, however slowly the machine runs.
TEST_F(KelvRun, SoftFileLimitIsRaisedForManyConnections) {
  SubprocessResult result =
      runKelv({"-1", "-c", "500", "-K", "1", nginx->HttpUrl()}, {"prlimit", "--nofile=256:1024"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");  // no descriptor ran out
  std::map<std::string, double> r = parseTextReport(result.out);
  EXPECT_EQ(r["Successful requests"], 500);
  EXPECT_EQ(r["Connections opened"], 500);
  EXPECT_EQ(r["Socket errors"], 0);
  EXPECT_EQ(nginx->WaitForLoggedRequests(500, LOG_SETTLE_MILLIS), 500);
  EXPECT_EQ(nginx->LoggedConnections(), 500);
}

// The first stop signal ends the measured period at once: the report of what was measured,
// after the progress lines so far, and the signal's exit status.
TEST_F(KelvRun, InterruptedRunReportsWhatItMeasured) {
  Subprocess kelv({binaryPath("kelv"), "-c", "2", "-K", "1", "-d", "30", nginx->HttpUrl()});
  ASSERT_TRUE(kelv.WaitForStdoutLine("(5 / 30)", FIRST_TICK_MILLIS)) << kelv.TakeStderr();
  kelv.Signal(SIGINT);
  int status = -1;
  ASSERT_TRUE(kelv.Wait(STOPPED_MILLIS, &status)) << "still running after its stop timeout";
  EXPECT_EQ(status, EXIT_STATUS_SIGNAL_BASE + SIGINT);
  ASSERT_TRUE(kelv.WaitForOutputEnd(STOPPED_MILLIS));
  EXPECT_EQ(kelv.TakeStderr(), "");
  std::map<std::string, double> r = parseTextReport(kelv.TakeStdout());
  EXPECT_GT(r["Successful requests"], 0);
  EXPECT_EQ(r["Attempted requests"], r["Successful requests"] + r["Non-200 results"]);
  EXPECT_EQ(r["Socket errors"], 0);
  EXPECT_GE(r["Duration"], 4.5);
  EXPECT_LT(r["Duration"], 29.0);
}

// SIGTERM too, in CSV mode; and in a warm-up, which is never counted: the measured period
// is empty.
TEST_F(KelvRun, TerminatedRunReportsAndAWarmUpCountsNothing) {
  Subprocess csv({binaryPath("kelv"), "-S", "-c", "2", "-K", "1", "-d", "30", nginx->HttpUrl()});
  // A request that reached the server comes from a started thread: the run is under way.
  ASSERT_GT(nginx->WaitForLoggedRequests(1, FIRST_TICK_MILLIS), 0);
  csv.Signal(SIGTERM);
  int status = -1;
  ASSERT_TRUE(csv.Wait(STOPPED_MILLIS, &status));
  EXPECT_EQ(status, EXIT_STATUS_SIGNAL_BASE + SIGTERM);
  ASSERT_TRUE(csv.WaitForOutputEnd(STOPPED_MILLIS));
  const std::vector<std::string> lines = splitLines(csv.TakeStdout());
  ASSERT_EQ(lines.size(), 1u);
  const std::vector<std::string> fields = parseCsvLine(lines[0]);
  EXPECT_EQ(intField(fields, 6), intField(fields, 7)) << "completed, all successful";
  EXPECT_EQ(intField(fields, 8), 0);

  Subprocess warm(
      {binaryPath("kelv"), "-c", "2", "-K", "1", "-w", "20", "-d", "30", nginx->HttpUrl()});
  ASSERT_TRUE(warm.WaitForStdoutLine("Warming up: (5 / 20)", FIRST_TICK_MILLIS));
  warm.Signal(SIGINT);
  ASSERT_TRUE(warm.Wait(STOPPED_MILLIS, &status));
  EXPECT_EQ(status, EXIT_STATUS_SIGNAL_BASE + SIGINT);
  ASSERT_TRUE(warm.WaitForOutputEnd(STOPPED_MILLIS));
  std::map<std::string, double> r = parseTextReport(warm.TakeStdout());
  EXPECT_EQ(r["Attempted requests"], 0);
  EXPECT_LT(r["Duration"], 1.0);
}

// One-request mode against a server that never answers: a stop signal ends the wait with a
// report. A second one ends the program at once, here while the stop waits for a monitor
// that never answers either (the first thing the stop does is to ask it).
TEST(KelvSignals, OneRequestModeStopsAndASecondSignalEndsTheProgram) {
  ScriptedServerOptions hangOptions;
  hangOptions.behaviour = "hang";
  ScriptedServer target(hangOptions);
  ScriptedServerOptions silentOptions;
  silentOptions.behaviour = "line-silent";
  ScriptedServer monitor(silentOptions);
  ASSERT_TRUE(target.ok() && monitor.ok()) << target.Error() << monitor.Error();
  const std::vector<std::string> args = {binaryPath("kelv"), "-1", "-K", "1", target.Url()};
  {
    Subprocess kelv(args);
    // The request was sent: the thread runs, the stop signals are waited for.
    ASSERT_TRUE(target.WaitForRequests(1, FIRST_TICK_MILLIS));
    kelv.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(kelv.Wait(STOPPED_MILLIS, &status));
    EXPECT_EQ(status, EXIT_STATUS_SIGNAL_BASE + SIGTERM);
    ASSERT_TRUE(kelv.WaitForOutputEnd(STOPPED_MILLIS));
    EXPECT_EQ(parseTextReport(kelv.TakeStdout())["Attempted requests"], 0);
  }
  std::vector<std::string> monitored = args;
  monitored.insert(monitored.end() - 1, {"-M", "127.0.0.1:" + std::to_string(monitor.Port())});
  Subprocess kelv(monitored);
  ASSERT_TRUE(target.WaitForRequests(2, FIRST_TICK_MILLIS));
  kelv.Signal(SIGINT);
  ASSERT_TRUE(monitor.WaitForRequests(1, STOPPED_MILLIS)) << "the stop asks the monitor";
  kelv.Signal(SIGINT);
  int status = -1;
  ASSERT_TRUE(kelv.Wait(STOPPED_MILLIS, &status));
  EXPECT_EQ(status, EXIT_STATUS_SIGNAL_BASE + SIGINT);
  ASSERT_TRUE(kelv.WaitForOutputEnd(STOPPED_MILLIS));
  EXPECT_EQ(kelv.TakeStdout().find("Duration:"), std::string::npos) << "ended before its report";
  EXPECT_EQ(kelv.TakeStderr(), "") << "nor did the monitor's query time out";
}

TEST(KelvWire, BodyFileAndHeaderOptionsReachTheServer) {
  ScratchDir dir;
  const std::string body("a\0b\r\nc", 6);
  ASSERT_TRUE(dir.WriteFile("body.bin", body));
  ScriptedServer server;
  ASSERT_TRUE(server.ok()) << server.Error();
  SubprocessResult result =
      runKelv({"-1", "-K", "1", "-f", dir.File("body.bin"), "-H", "X-Test: yes", "-u", "a:b", "-t",
               "text/x", "-x", "PUT", server.Url("/up")});
  EXPECT_EQ(result.exitStatus, 0);
  ASSERT_TRUE(server.WaitForRequests(1, LOG_SETTLE_MILLIS));
  std::vector<std::string> received = server.Received();
  ASSERT_EQ(received.size(), 1u);
  const std::string& request = received[0];
  EXPECT_TRUE(request.starts_with("PUT /up HTTP/1.1\r\n")) << request;
  for (const char* line : {"\r\nX-Test: yes\r\n", "\r\nAuthorization: Basic YTpi\r\n",
                           "\r\nContent-Type: text/x\r\n", "\r\nContent-Length: 6\r\n"}) {
    EXPECT_NE(request.find(line), std::string::npos) << line << " in " << request;
  }
  EXPECT_EQ(request.find("text/plain"), std::string::npos) << "the user's type replaces it";
  EXPECT_TRUE(request.ends_with("\r\n\r\n" + body)) << request;
  EXPECT_EQ(parseTextReport(result.out)["Successful requests"], 1);
}

// The requests one connection sent (GET requests without a body).
std::vector<std::string> requestsIn(const std::string& stream) {
  std::vector<std::string> requests;
  for (size_t start = 0, end; (end = stream.find("\r\n\r\n", start)) != std::string::npos;
       start = end + 4) {
    requests.push_back(stream.substr(start, end + 4 - start));
  }
  return requests;
}

// The parts of a captured request a server checks the signature against.
SignedRequest signedRequestOf(const std::string& request, const ScriptedServer& server,
                              const std::string& consumerSecret, const std::string& tokenSecret) {
  const size_t target = request.find(' ') + 1;
  const size_t version = request.find(" HTTP/1.1\r\n");
  const size_t header = request.find("\r\nAuthorization: ");
  EXPECT_NE(header, std::string::npos) << request;
  if (header == std::string::npos || version == std::string::npos) return {};
  return {request.substr(0, target - 1), server.Url(request.substr(target, version - target)),
          request.substr(header + 2, request.find("\r\n", header + 2) - header - 2), consumerSecret,
          tokenSecret};
}

std::string nonceOf(const std::string& header) {
  const std::string key = "oauth_nonce=\"";
  const size_t start = header.find(key);
  if (start == std::string::npos) return "";
  return header.substr(start + key.size(),
                       header.find('"', start + key.size()) - start - key.size());
}

// Every signature kelv sent, as the server received it, verified independently: for a URL
// with a query and one without on a non-default port, over one kept-alive connection (each
// request with its own nonce), and two-legged.
TEST(KelvWire, OAuthCredentialsSignTheRequest) {
  ScriptedServer server;
  ASSERT_TRUE(server.ok()) << server.Error();
  ScratchDir dir;
  ASSERT_TRUE(dir.WriteFile(
      "urls.txt", server.Url("/api?b=2&a=1&c=x%20y") + "\n" + server.Url("/plain") + "\n"));
  SubprocessResult fourPart = runKelv({"-c", "1", "-K", "1", "-W", "40", "-d", "1", "-O",
                                       "ck:c%s:tk:t&s", "@" + dir.File("urls.txt")});
  EXPECT_EQ(fourPart.exitStatus, 0);
  EXPECT_EQ(fourPart.err, "");
  SubprocessResult twoLegged = runKelv({"-1", "-K", "1", "-O", "key:secret", server.Url("/?q=1")});
  EXPECT_EQ(twoLegged.exitStatus, 0);
  server.Stop();  // all that was received is on record
  const std::vector<std::string> received = server.Received();
  ASSERT_EQ(received.size(), 2u) << "the first run kept its one connection";
  const std::vector<std::string> requests = requestsIn(received[0]);
  ASSERT_GE(requests.size(), 4u);
  EXPECT_NE(received[1].find("\r\nAuthorization: OAuth "), std::string::npos) << received[1];
  EXPECT_NE(received[1].find("oauth_consumer_key=\"key\""), std::string::npos) << received[1];
  EXPECT_EQ(received[1].find("oauth_token="), std::string::npos) << "no token was given";

  std::vector<SignedRequest> signedRequests;
  std::set<std::string> targets, nonces;
  for (const std::string& request : requests) {
    signedRequests.push_back(signedRequestOf(request, server, "c%s", "t&s"));
    targets.insert(signedRequests.back().url);
    nonces.insert(nonceOf(signedRequests.back().header));
  }
  EXPECT_EQ(targets.size(), 2u) << "both URLs were drawn";
  EXPECT_EQ(nonces.size(), requests.size()) << "a fresh nonce for every request";
  EXPECT_EQ(nonces.count(""), 0u);
  signedRequests.push_back(signedRequestOf(received[1], server, "secret", ""));
  const std::vector<std::string> verdicts = verifyOAuthSignatures(signedRequests);
  ASSERT_EQ(verdicts.size(), signedRequests.size());
  for (size_t i = 0; i < verdicts.size(); ++i) {
    EXPECT_EQ(verdicts[i], "ok") << signedRequests[i].url << "\n" << signedRequests[i].header;
  }
}

}  // namespace
}  // namespace kelv
