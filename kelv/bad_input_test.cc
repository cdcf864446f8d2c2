// The kelv program fed bad input on every surface that a user or a peer controls: the
// command line, URLs, URL files, body files, responses and monitor replies. Each ends in a
// clear message or in a report, never in a crash or a hang.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "absl/strings/str_split.h"
#include "absl/strings/strip.h"
#include "testing/output_shape.h"
#include "kelv/exit_status.h"
#include "lib/engine/connection.h"
#include "testing/scratch_dir.h"
#include "testing/scripted_server.h"
#include "testing/subprocess.h"

namespace kelv {
namespace {

constexpr int RUN_TIMEOUT_MILLIS = 20000;
constexpr int SERVED_TIMEOUT_MILLIS = 5000;
constexpr char USAGE_START[] = "Usage: kelv [options] [URL | @file]\n";
constexpr char USAGE_END[] = "You may omit the last two.\n\n";
// A literal whose zone names no interface: it has no address, and no name server is asked.
constexpr char ADDRESSLESS_URL[] = "http://[fe80::1%25nosuchif]:8080/";

SubprocessResult runKelv(std::vector<std::string> args, int timeoutMillis = RUN_TIMEOUT_MILLIS) {
  args.insert(args.begin(), binaryPath("kelv"));
  return Subprocess::Run(args, timeoutMillis);
}

// The argument vector with its bytes made visible, for failure messages.
std::string shown(const std::vector<std::string>& args) {
  std::ostringstream text;
  for (const std::string& arg : args) {
    text << " '";
    for (unsigned char byte : arg.substr(0, 80)) {
      if (byte >= 0x20 && byte < 0x7f) {
        text << byte;
      } else {
        text << "\\" << static_cast<int>(byte);
      }
    }
    text << (arg.size() > 80 ? "...'" : "'");
  }
  return text.str();
}

int lineCount(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// The figure after "label:" on a line of the text report; -1 when there is no such line.
double reportFigure(const std::string& out, const std::string& label) {
  const std::string text = "\n" + out;
  const size_t at = text.find("\n" + label + ":");
  if (at == std::string::npos) return -1;
  double value = -1;
  std::istringstream(text.substr(at + label.size() + 2)) >> value;
  return value;
}

// What a run in one-request mode ended with, as its report counts it.
struct Outcome {
  double successful;
  double non200;
  double socketErrors;
};

Outcome outcomeOf(const SubprocessResult& result) {
  return {reportFigure(result.out, "Successful requests"),
          reportFigure(result.out, "Non-200 results"), reportFigure(result.out, "Socket errors")};
}

void expectOutcome(const SubprocessResult& result, const Outcome& expected,
                   const std::string& context) {
  ASSERT_TRUE(result.finished) << context << ": " << result.error;
  // Scripts read from the status alone whether any response was successful.
  EXPECT_EQ(result.exitStatus, expected.successful > 0 ? EXIT_STATUS_OK : EXIT_STATUS_NO_SUCCESS)
      << context << "\n"
      << result.err;
  const Outcome got = outcomeOf(result);
  EXPECT_EQ(got.successful, expected.successful) << context << "\n" << result.out;
  EXPECT_EQ(got.non200, expected.non200) << context;
  EXPECT_EQ(got.socketErrors, expected.socketErrors) << context;
}

// An exit without a report: the run could not start, and exactly one line says why.
void expectOneLineRefusal(const SubprocessResult& result, const std::string& start,
                          const std::string& context) {
  ASSERT_TRUE(result.finished) << context << ": " << result.error;
  EXPECT_EQ(result.exitStatus, EXIT_STATUS_START_FAILED) << context;
  EXPECT_TRUE(result.err.starts_with(start)) << context << ": " << result.err.substr(0, 200);
  EXPECT_EQ(lineCount(result.err), 1) << context << ": " << result.err.substr(0, 200);
  EXPECT_TRUE(result.err.ends_with("\n")) << context;
  EXPECT_EQ(result.out.find("Duration:"), std::string::npos) << context;
}

// Pieces of argument vectors: option names, and values that are odd in every way the
// parser can meet. None of them is a URL that could start a run.
const std::vector<std::string>& optionPool() {
  static const std::vector<std::string> pool = absl::StrSplit(
      "-c -d -f -h -k -t -u -v -w -x -C -F -H -O -K -M -X -N -S -T -V -W -1 -Z -q - -- -cc "
      "--concurrency --duration= --think-time --version --help --bogus --header-line --one "
      "--con --iothreads=7 -c12x -d-1 -W2147483647",
      ' ');
  return pool;
}

const std::vector<std::string>& valuePool() {
  // clang-format off
  static const std::vector<std::string> pool = {
      // numbers: plain, padded, malformed, at and beyond the 32-bit range
      "", "0", "-1", "1", " 12 ", "12x", "0x10", "1e3", "2147483647", "2147483648",
      "-2147483648", "-2147483649", "99999999999999999999", std::string(5000, '9'),
      // texts: junk, NUL and control bytes, monitor-like and long ones
      "abc", std::string("a\0b", 3), "\x01\x02\x7f\xff", "\r\n", "h:", ":80", "x:1:2",
      std::string(300, '-'),
      // targets that never start a run
      "@", "@/nonexistent/urls.txt", "http://", "ftp://127.0.0.1/", "http://127.0.0.1:65536/",
      "http://127.0.0.1:-1/", "https://[::1/", "http://a b/", "http://127.0.0.1/\n"};
  // clang-format on
  return pool;
}

std::vector<std::string> randomArguments(std::mt19937& random) {
  const auto& options = optionPool();
  const auto& values = valuePool();
  std::vector<std::string> args(std::uniform_int_distribution<size_t>(0, 7)(random));
  for (std::string& arg : args) {
    const bool option = std::bernoulli_distribution(0.45)(random);
    const auto& pool = option ? options : values;
    arg = pool[std::uniform_int_distribution<size_t>(0, pool.size() - 1)(random)];
  }
  return args;
}

// A usage error names its cause before the usage text; any other end (help, version, or a
// run that cannot start) says something. Sanitizer findings show up on standard error even
// when the status says nothing of them.
TEST(KelvBadInput, RandomArgumentVectorsEndInUsageOrACleanExit) {
  std::mt19937 random(20261208);
  for (int i = 0; i < 200; ++i) {
    const std::vector<std::string> args = randomArguments(random);
    const std::string context = "argv" + shown(args);
    SubprocessResult result = runKelv(args);
    ASSERT_TRUE(result.finished) << context << ": " << result.error;
    ASSERT_TRUE(result.exitStatus == EXIT_STATUS_OK ||
                result.exitStatus == EXIT_STATUS_USAGE_ERROR ||
                result.exitStatus == EXIT_STATUS_START_FAILED)
        << context << " ended with " << result.exitStatus << "\n"
        << result.err;
    if (result.exitStatus == EXIT_STATUS_USAGE_ERROR) {
      EXPECT_TRUE(result.err.ends_with(USAGE_END)) << context;
      EXPECT_NE(result.err.find(USAGE_START), std::string::npos) << context;
      EXPECT_EQ(result.out, "") << context;
    } else {
      EXPECT_FALSE(result.out.empty() && result.err.empty()) << context;
    }
    for (const char* finding : {"runtime error", "Sanitizer", "Assertion failed"}) {
      EXPECT_EQ(result.err.find(finding), std::string::npos) << context << "\n" << result.err;
    }
  }
}

// Values that parse as numbers but lie far outside any sensible range.
TEST(KelvBadInput, ExtremeNumbersAreRefusedOrStillEndTheRun) {
  ScriptedServer server;
  ASSERT_TRUE(server.ok()) << server.Error();
  const std::string url = server.Url();
  // A fixed hard limit: an unlimited one would let the program try to open them all.
  SubprocessResult many = Subprocess::Run(
      {"prlimit", "--nofile=1024:4096", binaryPath("kelv"), "-c", "2147483647", "-d", "1", url},
      RUN_TIMEOUT_MILLIS);
  expectOneLineRefusal(many, "Current hard file descriptor limit is 4096: ", "-c 2147483647");
  // The thread count is capped by the connections (one-request mode runs thread 0's share
  // of two threads); the think time comes after the only request; a huge keep-alive value
  // only turns keep-alive off.
  const std::pair<std::vector<std::string>, double> cases[] = {
      {{"-K", "2147483647", "-c", "2"}, 1},
      {{"-W", "2147483647", "-c", "2", "-K", "1"}, 2},
      {{"-k", "-2147483648", "-c", "2", "-K", "1"}, 2},
  };
  for (const auto& [options, successful] : cases) {
    std::vector<std::string> args = options;
    args.insert(args.end(), {"-1", url});
    expectOutcome(runKelv(args), {successful, 0, 0}, "argv" + shown(args));
  }
  // Negative phases are no waits at all: a report of (almost) no time.
  SubprocessResult negative = runKelv({"-w", "-2147483648", "-d", "-5", url});
  ASSERT_TRUE(negative.finished) << negative.error;
  EXPECT_EQ(negative.exitStatus, reportFigure(negative.out, "Successful requests") > 0
                                     ? EXIT_STATUS_OK
                                     : EXIT_STATUS_NO_SUCCESS);
  EXPECT_GE(reportFigure(negative.out, "Duration"), 0) << negative.out;
  EXPECT_LT(reportFigure(negative.out, "Duration"), 1) << negative.out;
}

TEST(KelvBadInput, UrlsThatCannotBeUsedGiveOneLine) {
  const std::string base = "http://127.0.0.1";
  const std::string overlong = base + "/" + std::string(100 * 1024, 'a');
  struct Case {
    std::string url;
    std::string err;  // the start of the one line
  };
  const Case cases[] = {
      {overlong, "Invalid URL: " + overlong.substr(0, 200)},
      {base + ":65536/", "Invalid URL: " + base + ":65536/"},
      {base + ":-1/", "Invalid URL: " + base + ":-1/"},
      {base + ":abc/", "Invalid URL: " + base + ":abc/"},
      {base + ":99999999999/", "Invalid URL: " + base + ":99999999999/"},
      // Control bytes are shown, not echoed: the message stays one line.
      {base + "/a\nb", "Invalid URL: " + base + "/a\\x0ab\n"},
      {base + "/a\rb", "Invalid URL: " + base + "/a\\x0db\n"},
      {base + "/\x1b[2J\x7f", "Invalid URL: " + base + "/\\x1b[2J\\x7f\n"},
      {base + "\x01/", "Invalid URL: " + base + "\\x01/\n"},
  };
  for (const Case& c : cases) {
    expectOneLineRefusal(runKelv({"-1", c.url}), c.err, shown({c.url}));
  }
}

// A port where nothing can listen fails the one request of one-request mode at once. A host
// without an address fails every connect: each is retried, but not for ever.
TEST(KelvBadInput, UnreachableTargetsEndOneRequestMode) {
  expectOutcome(runKelv({"-1", "http://127.0.0.1:0/"}), {0, 0, 1}, "port 0");
  SubprocessResult addressless = runKelv({"-1", "-c", "2", "-K", "1", ADDRESSLESS_URL});
  const int attempts = 2 * LAST_REQUEST_CONNECT_ATTEMPTS;
  expectOutcome(addressless, {0, 0, attempts}, "no address");
  EXPECT_EQ(reportFigure(addressless.out, "Connections opened"), 0);
  EXPECT_EQ(reportFigure(addressless.out, "  no address"), attempts);
  // Every attempt with the resolver's reason, and the first of the kind once more.
  int attemptLines = 0, firstLines = 0;
  const std::vector<std::string> errLines =
      absl::StrSplit(absl::StripSuffix(addressless.err, "\n"), '\n');
  for (const std::string& line : errLines) {
    attemptLines += line.starts_with("Error opening TCP connection: no address: ") ? 1 : 0;
    firstLines += matchShape(line,
                             "kelv: [{*}]:8080: no address: {*} (further errors of this "
                             "kind are counted, not shown)")
                      ? 1
                      : 0;
  }
  EXPECT_EQ(attemptLines, attempts) << addressless.err;
  EXPECT_EQ(firstLines, 1) << addressless.err;
  EXPECT_EQ(lineCount(addressless.err), attempts + 1);
}

TEST(KelvBadInput, UrlFilesOfBinaryBytesNulsAndHugeLines) {
  ScriptedServer server;
  ASSERT_TRUE(server.ok()) << server.Error();
  ScratchDir dir;
  std::mt19937 random(7);
  std::string binary(4096, '\0');
  for (char& byte : binary) byte = static_cast<char>(random());
  binary[0] = 'x';  // a first line that is not empty, whatever else the bytes hold
  const std::string good = server.Url("/fine") + "\n";
  struct Case {
    std::string name;
    std::string content;
    std::string err;
  };
  const Case cases[] = {
      {"binary", binary, "Error opening URL file: Invalid URL: x"},
      {"leading-nul", std::string(1, '\0') + good, "Error opening URL file: Invalid URL\n"},
      {"huge-first-line", "http://127.0.0.1/" + std::string(20000, 'h') + "\n" + good,
       "Error opening URL file: Invalid URL: line of 8192 or more characters in " +
           dir.File("huge-first-line") + "\n"},
      {"all-huge", std::string(100000, 'h'),
       "Error opening URL file: Invalid URL: line of 8192 or more characters in " +
           dir.File("all-huge") + "\n"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(dir.WriteFile(c.name, c.content));
    expectOneLineRefusal(runKelv({"-1", "@" + dir.File(c.name)}), c.err, c.name);
  }
  EXPECT_EQ(server.Stats().requests, 0);
  // A line is read up to its first NUL byte: the rest is not part of the URL.
  const std::string nulInLine = server.Url("/cut") + std::string("\0/rest\x01", 7) + "\n";
  ASSERT_TRUE(dir.WriteFile("nul-in-line", nulInLine));
  SubprocessResult cut = runKelv({"-1", "@" + dir.File("nul-in-line")});
  expectOutcome(cut, {1, 0, 0}, "nul-in-line");
  ASSERT_TRUE(server.WaitForRequests(1, SERVED_TIMEOUT_MILLIS));
  ASSERT_EQ(server.Received().size(), 1u);
  EXPECT_TRUE(server.Received()[0].starts_with("GET /cut HTTP/1.1\r\n")) << server.Received()[0];
}

TEST(KelvBadInput, UrlFileOfFiftyThousandLinesIsReadWhole) {
  ScriptedServer server;
  ASSERT_TRUE(server.ok()) << server.Error();
  ScratchDir dir;
  const int lines = 50000;
  std::string content;
  for (int i = 0; i < lines; ++i) content += server.Url("/" + std::to_string(i)) + "\n";
  ASSERT_TRUE(dir.WriteFile("urls", content));
  SubprocessResult result = runKelv({"-1", "-c", "4", "-K", "1", "@" + dir.File("urls")});
  EXPECT_TRUE(result.out.starts_with("Read " + std::to_string(lines) + " URLs from \"" +
                                     dir.File("urls") + "\"\n"))
      << result.out.substr(0, 200);
  expectOutcome(result, {4, 0, 0}, "50000 lines");
  EXPECT_EQ(result.err, "");
}

// The body file is sent whole, byte for byte, with its length announced; an empty one sends
// no body and no length.
TEST(KelvBadInput, BodyFilesAreSentWhole) {
  ScratchDir dir;
  std::string binary(1 << 20, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7 % 256);
  for (const std::string& body : {std::string(), binary}) {
    ScriptedServer server;
    ASSERT_TRUE(server.ok()) << server.Error();
    ASSERT_TRUE(dir.WriteFile("body", body));
    SubprocessResult result = runKelv({"-1", "-f", dir.File("body"), server.Url("/up")});
    const std::string context = "body of " + std::to_string(body.size()) + " bytes";
    expectOutcome(result, {1, 0, 0}, context);
    ASSERT_TRUE(server.WaitForRequests(1, SERVED_TIMEOUT_MILLIS)) << context;
    const std::vector<std::string> received = server.Received();
    ASSERT_EQ(received.size(), 1u) << context;
    const std::string& request = received[0];
    EXPECT_TRUE(request.starts_with("POST /up HTTP/1.1\r\n")) << context;
    const std::string head = request.substr(0, request.find("\r\n\r\n") + 4);
    EXPECT_EQ(request.size(), head.size() + body.size()) << context;
    EXPECT_TRUE(request.substr(head.size()) == body) << context << ": the bytes differ";
    const bool announced = head.find("\r\nContent-Length: " + std::to_string(body.size()) +
                                     "\r\n") != std::string::npos;
    EXPECT_EQ(announced, !body.empty()) << head;
  }
}

// Only a regular file has an end to read to: a device (/dev/zero would never end) and a FIFO
// (whose opening waits for a writer) are refused before they are opened.
TEST(KelvBadInput, BodyFilesThatAreNotRegularFilesAreRefused) {
  ScratchDir dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  for (const std::string& path : {std::string("/dev/null"), fifo}) {
    expectOneLineRefusal(runKelv({"-1", "-f", path, "http://127.0.0.1:1/"}),
                         "Cannot read input file " + path + "\n", path);
  }
}

// Responses that are too big, badly framed or not HTTP at all: each is counted as what it
// is, and the one request of one-request mode always ends.
TEST(KelvBadInput, OddResponsesAreCountedAndNeverStallTheRequest) {
  constexpr int BIG_BODY = 64 << 20;
  struct Case {
    std::string behaviour;
    int size;
    Outcome outcome;
  };
  const Case cases[] = {
      {"big-header", 16 << 10, {1, 0, 0}},   // twice the read buffer: parsed piece by piece
      {"big-header", 1 << 20, {0, 0, 1}},    // beyond the parser's header limit
      {"big-body", BIG_BODY, {1, 0, 0}},     // Content-Length
      {"big-chunked", BIG_BODY, {1, 0, 0}},  // 1024 chunks
      {"bad-chunk", 0, {0, 0, 1}},           // a chunk size that is not hexadecimal
      {"no-status-line", 0, {0, 0, 1}},      // header lines first
      {"upgrade", 0, {0, 1, 0}},             // a complete response, though not a success
  };
  for (const Case& c : cases) {
    ScriptedServerOptions options;
    options.behaviour = c.behaviour;
    options.size = c.size;
    ScriptedServer server(options);
    ASSERT_TRUE(server.ok()) << server.Error();
    const std::string context = c.behaviour + " " + std::to_string(c.size);
    SubprocessResult result = runKelv({"-1", server.Url()});
    expectOutcome(result, c.outcome, context);
    if (c.outcome.socketErrors == 0) {
      EXPECT_EQ(result.err, "") << context;
    } else {
      EXPECT_EQ(reportFigure(result.out, "  parse"), 1) << context;
      EXPECT_TRUE(matchShape(result.err,
                             "kelv: 127.0.0.1:{n}: not a valid HTTP response ({*}) "
                             "(further errors of this kind are counted, not shown)\n"))
          << context << ": " << result.err;
    }
    if (c.size == BIG_BODY) {
      // Megabytes of 2^20 bytes: the head comes on top of the 64.
      EXPECT_GE(reportFigure(result.out, "Total bytes received"), 64.0) << context;
    }
  }
}

// Monitors that answer with something other than a number, with more than one read takes,
// or with half a reply and then silence. The run ends on time in each case.
TEST(KelvBadInput, MonitorRepliesThatAreWrongOrNeverComeDoNotStallTheRun) {
  ScriptedServer target;
  ASSERT_TRUE(target.ok()) << target.Error();
  const std::string readError =
      "Error reading from monitoring server: " + std::to_string(EAGAIN) + "\n";
  struct Case {
    std::string behaviour;
    int after;
    std::string reply;
    std::string err;
    std::string reportLine;
  };
  const Case cases[] = {
      {"line-reply", 0, "garbage\n", "", "Remote CPU max:       0%\n"},
      {"line-reply", 0, "0.5" + std::string(200, ' ') + "\n", "", "Remote CPU max:       50%\n"},
      {"line-silent", 1, "0.", readError, "Remote CPU max:       0%\n"},
  };
  for (const Case& c : cases) {
    ScriptedServerOptions options;
    options.behaviour = c.behaviour;
    options.after = c.after;
    options.body = c.reply;
    ScriptedServer monitor(options);
    ASSERT_TRUE(monitor.ok()) << monitor.Error();
    const std::string context = c.behaviour + " " + shown({c.reply});
    // The silent monitor's own idle timeout is longer than the run is given here.
    SubprocessResult result =
        runKelv({"-d", "1", "-M", "127.0.0.1:" + std::to_string(monitor.Port()), target.Url()});
    ASSERT_TRUE(result.finished) << context << ": " << result.error;
    EXPECT_EQ(result.exitStatus, EXIT_STATUS_OK) << context;
    EXPECT_EQ(result.err, c.err) << context;
    EXPECT_NE(result.out.find(c.reportLine), std::string::npos) << context << "\n" << result.out;
    EXPECT_GT(reportFigure(result.out, "Successful requests"), 0) << context;
    const std::vector<std::string> received = monitor.Received();
    ASSERT_EQ(received.size(), 1u) << context;
    // The first tick asks CPU, then HOST; a reply to HOST that is not two figures means a
    // monitor that does not know it, and the silent one is given up at HOST.
    EXPECT_TRUE(received[0].starts_with("cpu\nhost\n")) << context << ": " << received[0];
    EXPECT_EQ(received[0].find("host", 5), std::string::npos) << context << ": " << received[0];
  }
}

}  // namespace
}  // namespace kelv
