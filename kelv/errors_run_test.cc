// The kelv program meeting each kind of failure for real on loopback: the report's Errors and
// Status codes blocks, and the one line on standard error for the first error of a kind.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "kelv/exit_status.h"
#include "testing/output_shape.h"
#include "testing/run_test_util.h"
#include "testing/loopback.h"
#include "testing/nginx.h"
#include "testing/scratch_dir.h"
#include "testing/scripted_server.h"
#include "testing/test_certs.h"

namespace kelv {
namespace {

constexpr char FURTHER[] = " (further errors of this kind are counted, not shown)";

// The lines of standard error that show the first error of a kind (a host without an
// address is in bad_input_test.cc).
std::vector<std::string> firstErrorLines(const std::string& err) {
  std::vector<std::string> found;
  for (const std::string& line : splitLines(err)) {
    if (line.starts_with("kelv: ") && line.ends_with(FURTHER)) found.push_back(line);
  }
  return found;
}

ScriptedServerOptions behaving(const std::string& behaviour) {
  ScriptedServerOptions options;
  options.behaviour = behaviour;
  return options;
}

// One-request mode with three connections: each request fails once, in one way, and the run
// ends by itself, the never-answered one too.
TEST(KelvErrors, EachKindIsCountedReportedAndShownOnce) {
  TestCertificates certs = makeTestCertificates();
  ScriptedServerOptions tls = behaving("ok");
  tls.certFile = certs.serverCert;
  tls.keyFile = certs.serverKey;
  struct Case {
    std::string name;
    ScriptedServerOptions server;  // behaviour "" : no server
    std::vector<std::string> options;
    std::string kind;
    std::string reason;  // shape of the reason on standard error
  };
  const Case cases[] = {
      {"refused", behaving(""), {}, "refused", "connection refused"},
      {"reset", behaving("reset"), {}, "reset", "connection reset by peer"},
      {"early close",
       behaving("close-no-answer"),
       {},
       "closed early",
       "connection closed before the response was complete"},
      {"garbage", behaving("garbage"), {}, "parse", "not a valid HTTP response ({*})"},
      {"untrusted", tls, {"-V"}, "tls", "certificate verify failed"},
      {"silent",
       behaving("hang"),
       {"--timeout", "0.5"},
       "timeout",
       "no complete response within 0.5 seconds"},
  };
  for (const Case& c : cases) {
    std::unique_ptr<ScriptedServer> server;
    std::string hostPort = "127.0.0.1:" + std::to_string(pickFreeLoopbackPort());
    std::string url = "http://" + hostPort + "/";
    if (!c.server.behaviour.empty()) {
      server = std::make_unique<ScriptedServer>(c.server);
      ASSERT_TRUE(server->ok()) << server->Error();
      hostPort = "127.0.0.1:" + std::to_string(server->Port());
      url = server->Url();
    }
    std::vector<std::string> args = {"-1", "-c", "3", "-K", "1"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(url);
    SubprocessResult result = runKelv(args);
    EXPECT_EQ(result.exitStatus, EXIT_STATUS_NO_SUCCESS) << c.name;
    std::map<std::string, double> r = parseTextReport(result.out);
    EXPECT_EQ(r["Socket errors"], 3) << c.name << "\n" << result.out;
    EXPECT_EQ(r["error " + c.kind], 3) << c.name << "\n" << result.out;
    const std::string shape = "kelv: " + hostPort + ": " + c.reason + FURTHER;
    const std::vector<std::string> err = splitLines(result.err);
    ASSERT_EQ(err.size(), 1u) << c.name << "\n" << result.err;
    EXPECT_TRUE(matchShape(err[0], shape)) << c.name << "\n" << err[0] << "\nis not\n" << shape;
  }
}

// A kept-alive run whose second request on every connection fails, against the timeout:
// errors and successes alternate on new connections, and the kinds add up under load.
TEST(KelvErrors, TimeoutsReplaceTheirConnectionsInATimedRun) {
  ScriptedServerOptions options = behaving("hang");
  options.after = 1;
  ScriptedServer server(options);
  ASSERT_TRUE(server.ok()) << server.Error();
  SubprocessResult result =
      runKelv({"-c", "4", "-K", "2", "-d", "2", "--timeout", "0.2", server.Url()});
  std::map<std::string, double> r = parseTextReport(result.out);
  EXPECT_GT(r["error timeout"], 0) << result.out;
  EXPECT_EQ(r["error timeout"], r["Socket errors"]);
  EXPECT_GT(r["Successful requests"], 0);
  EXPECT_EQ(firstErrorLines(result.err).size(), 1u) << result.err;
}

// Responses by exact status, against nginx answering 200, 302 and 404 for three URLs.
TEST(KelvErrors, StatusCodesAreCountedExactly) {
  NginxServer nginx;
  ASSERT_TRUE(nginx.ok()) << nginx.Error();
  ScratchDir dir;
  ASSERT_TRUE(dir.WriteFile("urls.txt", nginx.HttpUrl("/") + "\n" + nginx.HttpUrl("/moved") + "\n" +
                                            nginx.HttpUrl("/missing") + "\n"));
  SubprocessResult result = runKelv({"-c", "2", "-K", "1", "-d", "1", "@" + dir.File("urls.txt")});
  EXPECT_EQ(result.err, "");
  std::map<std::string, double> r = parseTextReport(result.out);
  EXPECT_GT(r["status 200"], 0) << result.out;
  EXPECT_GT(r["status 302"], 0);
  EXPECT_GT(r["status 404"], 0);
  EXPECT_EQ(r["status 302"] + r["status 404"], r["Non-200 results"]);
  EXPECT_EQ(r["status 200"], r["Successful requests"]);
  EXPECT_EQ(result.out.find("Errors:"), std::string::npos);
}

}  // namespace
}  // namespace kelv
