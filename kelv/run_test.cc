// The kelv program against real servers on loopback: nginx over HTTP and HTTPS, and the
// scripted server where the bytes on the wire matter. Every run is bounded by its own
// options and by a timeout.
#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "absl/strings/numbers.h"
#include "absl/strings/str_split.h"
#include "kelv/output_shape.h"
#include "testing/nginx.h"
#include "testing/scratch_dir.h"
#include "testing/scripted_server.h"
#include "testing/subprocess.h"
#include "testing/test_certs.h"

namespace kelv {
namespace {

constexpr int RUN_TIMEOUT_MILLIS = 40000;
constexpr int LOG_SETTLE_MILLIS = 5000;

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines = absl::StrSplit(text, '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

SubprocessResult runKelv(std::vector<std::string> args,
                         const std::vector<std::string>& prefix = {}) {
  args.insert(args.begin(), binaryPath("kelv"));
  args.insert(args.begin(), prefix.begin(), prefix.end());
  SubprocessResult result = Subprocess::Run(args, RUN_TIMEOUT_MILLIS);
  EXPECT_TRUE(result.finished) << result.error;
  return result;
}

// The text report: its lines in order, each with the format of its figure. Returns the
// figures by label; a line out of place fails the test.
std::map<std::string, double> parseTextReport(const std::string& out) {
  static const char* const SHAPES[] = {
      "Duration:             {f3} seconds",
      "Attempted requests:   {n}",
      "Successful requests:  {n}",
      "Non-200 results:      {n}",
      "Connections opened:   {n}",
      "Socket errors:        {n}",
      "",
      "Throughput:           {f3} requests/second",
      "Average latency:      {f3} milliseconds",
      "Minimum latency:      {f3} milliseconds",
      "Maximum latency:      {f3} milliseconds",
      "Latency std. dev:     {f3} milliseconds",
      "50% latency:          {f3} milliseconds",
      "90% latency:          {f3} milliseconds",
      "98% latency:          {f3} milliseconds",
      "99% latency:          {f3} milliseconds",
      "",
      "Client CPU average:   {n}%",
      "Client CPU max:       {n}%",
      "Client memory usage:  {n}%",
      "",
      "Total bytes sent:     {f2} megabytes",
      "Total bytes received: {f2} megabytes",
      "Send bandwidth:       {f2} megabits / second",
      "Receive bandwidth:    {f2} megabits / second",
  };
  std::map<std::string, double> figures;
  const size_t start = out.find("Duration:");
  EXPECT_NE(start, std::string::npos) << out;
  if (start == std::string::npos) return figures;
  EXPECT_TRUE(start == 0 || out[start - 1] == '\n');
  EXPECT_TRUE(out.ends_with("second\n")) << "no empty line after the last one";
  std::vector<std::string> lines = splitLines(out.substr(start));
  EXPECT_EQ(lines.size(), std::size(SHAPES)) << out;
  for (size_t i = 0; i < lines.size() && i < std::size(SHAPES); ++i) {
    std::vector<std::string> value;
    if (!matchShape(lines[i], SHAPES[i], &value)) {
      ADD_FAILURE() << "line " << i << " \"" << lines[i] << "\" is not \"" << SHAPES[i] << '"';
      continue;
    }
    double number = 0;
    if (!value.empty() && absl::SimpleAtod(value[0], &number)) {
      figures[lines[i].substr(0, lines[i].find(':'))] = number;
    }
  }
  return figures;
}

// The CSV line's 25 fields, each checked against the format of its column.
std::vector<std::string> parseCsvLine(const std::string& line) {
  static const char* const SHAPES[] = {
      "{*}", "{f3}", "{f3}", "{n}",  "{n}",  "{f3}", "{n}",  "{n}",  "{n}",
      "{n}", "{f3}", "{f3}", "{f3}", "{f3}", "{f3}", "{f3}", "{f3}", "{n}",
      "{n}", "{n}",  "{n}",  "{n}",  "{n}",  "{f2}", "{f2}",
  };
  std::vector<std::string> fields = absl::StrSplit(line, ',');
  EXPECT_EQ(fields.size(), std::size(SHAPES)) << line;
  for (size_t i = 0; i < fields.size() && i < std::size(SHAPES); ++i) {
    EXPECT_TRUE(matchShape(fields[i], SHAPES[i]))
        << "field " << i + 1 << " \"" << fields[i] << "\" of " << line;
  }
  return fields;
}

int intField(const std::vector<std::string>& fields, size_t column) {
  int value = -1;
  if (column < fields.size()) {
    EXPECT_TRUE(absl::SimpleAtoi(fields[column], &value)) << fields[column];
  }
  return value;
}

// Progress lines: "(elapsed / phase) rate" with an optional CPU part.
std::vector<int> progressElapsed(const std::string& out, const std::string& prefix, int phase) {
  const std::string shape = "({n} / " + std::to_string(phase) + ") {f3}";
  std::vector<int> elapsed;
  for (const std::string& line : splitLines(out)) {
    if (!line.starts_with(prefix + "(")) continue;
    const std::string rest = line.substr(prefix.size());
    std::vector<std::string> fields;
    if (!matchShape(rest, shape, &fields) && !matchShape(rest, shape + " {n}% cpu", &fields)) {
      ADD_FAILURE() << "progress line \"" << line << "\"";
      continue;
    }
    elapsed.push_back(std::stoi(fields[0]));
  }
  return elapsed;
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
  EXPECT_NEAR(r["Duration"], 2.0, 0.5);
  EXPECT_LE(r["Minimum latency"], r["50% latency"]);
  EXPECT_LE(r["50% latency"], r["90% latency"]);
  EXPECT_LE(r["99% latency"], r["Maximum latency"]);
  EXPECT_GT(r["Total bytes received"] + r["Receive bandwidth"], 0);
  EXPECT_EQ(progressElapsed(result.out, "", 2), std::vector<int>{2});
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
  EXPECT_EQ(result.exitStatus, 0);
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
  EXPECT_NEAR(duration, 5.0, 0.5);  // the warm-up is not part of the measured run
  EXPECT_GT(intField(fields, 7), 0);
  EXPECT_EQ(intField(fields, 6), intField(fields, 7));
}

TEST_F(KelvRun, ProgressLinesAtEachTickAndOneWarmUpLine) {
  SubprocessResult result =
      runKelv({"-w", "1", "-d", "12", "-c", "2", "-K", "1", nginx->HttpUrl()});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(progressElapsed(result.out, "Warming up: ", 1), std::vector<int>{1});
  EXPECT_EQ(progressElapsed(result.out, "", 12), (std::vector<int>{5, 10, 12}));
  // The warm-up line comes first, then the run's lines, then the report.
  EXPECT_TRUE(result.out.starts_with("Warming up: (1 / 1) ")) << result.out;
  EXPECT_LT(result.out.find("(12 / 12)"), result.out.find("Duration:"));
  std::map<std::string, double> r = parseTextReport(result.out);
  EXPECT_NEAR(r["Duration"], 12.0, 0.5);
  EXPECT_GT(r["Successful requests"], 0);
}

TEST_F(KelvRun, ConnectionsAreSplitOverTheThreads) {
  SubprocessResult result = runKelv({"-v", "-c", "10", "-K", "4", "-d", "0", nginx->HttpUrl()});
  EXPECT_EQ(result.exitStatus, 0);
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
  EXPECT_EQ(refused.exitStatus, 0);
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

TEST_F(KelvRun, SoftFileLimitIsRaisedForManyConnections) {
  SubprocessResult result = runKelv({"-c", "500", "-K", "1", "-d", "1", nginx->HttpUrl()},
                                    {"prlimit", "--nofile=256:1024"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");  // no descriptor ran out
  std::map<std::string, double> r = parseTextReport(result.out);
  EXPECT_GT(r["Successful requests"], 0);
  EXPECT_EQ(r["Socket errors"], 0);
  nginx->WaitForLoggedRequests(500, LOG_SETTLE_MILLIS);
  EXPECT_EQ(nginx->LoggedConnections(), 500);
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

TEST(KelvWire, OAuthCredentialsSignTheRequest) {
  ScriptedServer server;
  ASSERT_TRUE(server.ok()) << server.Error();
  SubprocessResult result = runKelv({"-1", "-K", "1", "-O", "key:secret", server.Url("/?q=1")});
  EXPECT_EQ(result.exitStatus, 0);
  ASSERT_TRUE(server.WaitForRequests(1, LOG_SETTLE_MILLIS));
  std::vector<std::string> received = server.Received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_NE(received[0].find("\r\nAuthorization: OAuth "), std::string::npos) << received[0];
  EXPECT_NE(received[0].find("oauth_consumer_key=\"key\""), std::string::npos) << received[0];
  EXPECT_EQ(received[0].find("oauth_token="), std::string::npos) << "no token was given";
}

}  // namespace
}  // namespace kelv
