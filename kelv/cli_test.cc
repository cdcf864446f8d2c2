// The kelv program's command line, run as a user runs it: usage, version, the CSV header,
// usage errors and the errors that end the program before any request is sent.
#include <ev.h>
#include <gtest/gtest.h>
#include <http_parser.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "absl/strings/str_split.h"
#include "kelv/exit_status.h"
#include "testing/output_shape.h"
#include "lib/util/source_revision.h"
#include "testing/scratch_dir.h"
#include "testing/subprocess.h"

namespace kelv {
namespace {

constexpr int RUN_TIMEOUT_MILLIS = 20000;
// Never contacted: every case here ends before the first connection.
constexpr char UNUSED_URL[] = "http://127.0.0.1:1/";

const char USAGE[] =
    "Usage: kelv [options] [URL | @file]\n"
    "-1 --one                Send just one request and exit\n"
    "-c --concurrency        Number of concurrent requests (default 1)\n"
    "-d --duration           Test duration in seconds\n"
    "-f --input-file         File name to send on PUT and POST requests\n"
    "-h --help               Display this message\n"
    "-k --keep-alive         Keep-alive duration:\n"
    "      0 to disable, non-zero for timeout\n"
    "-t --content-type       Value of the Content-Type header\n"
    "-u --username-password  Credentials for HTTP Basic authentication\n"
    "       in username:password format\n"
    "-v --verbose            Verbose output\n"
    "   --version            Version information\n"
    "-w --warmup             Warm-up duration, in seconds (default 0)\n"
    "-x --method             HTTP request method (default GET)\n"
    "-C --cipherlist         Cipher list offered to server for HTTPS\n"
    "-F --certificate        PEM file containing CA certificates to trust\n"
    "-H --header             HTTP header line in Name: Value format\n"
    "-K --iothreads          Number of I/O threads to spawn\n"
    "       default == number of CPU cores\n"
    "-N --name               Name to put in CSV output to identify test run\n"
    "-O --oauth              OAuth 1.0 signature\n"
    "       in format consumerkey:secret:token:secret\n"
    "-R --rate               Requests per second over all connections, each sent\n"
    "       at its due time; latency counts from the due time\n"
    "-S --csv-output         Output all test results in a single CSV line\n"
    "-T --header-line        Do not run, but output a single CSV header line\n"
    "-V --verify             Verify TLS peer\n"
    "-W --think-time         Think time to wait in between requests\n"
    "        in milliseconds\n"
    "-M --monitor            Host name and port number of kelvmon\n"
    "-X --monitor2           Second host name and port number of kelvmon\n"
    "   --json               Write the whole result as JSON to a file\n"
    "       (- for standard output, in place of the report)\n"
    "   --merge              Report the JSON results named as arguments\n"
    "       as if from one run\n"
    "   --start-at           Wait until then to connect: a UTC time\n"
    "       (2026-12-09T13:00:00Z) or seconds since the epoch\n"
    "   --html               Write the result as a page of charts\n"
    "       and tables to a file, for any browser\n"
    "   --timeout            Seconds a request may take, connect included\n"
    "       (default none; 30 with -1)\n"
    "   --monitor-process    Process (name or number) the monitors report on\n"
    "\n"
    "The last argument may be an http or https URL, or an \"@\" symbol\n"
    "followed by a file name. If a file name, then kelv will read the file\n"
    "as a list of URLs, one per line, and randomly test each one.\n"
    "\n"
    "  if -S is used then output is CSV-separated on one line:\n"
    "  name,throughput,avg. latency,threads,connections,duration,completed,successful,errors,"
    "sockets,min. latency,max. latency,50%,90%,98%,99%\n"
    "\n"
    "  if -O is used then the value is four parameters, separated by a colon:\n"
    "  consumer key:secret:token:secret. You may omit the last two.\n"
    "\n";

const char CSV_HEADER[] =
    "Name,Throughput,Avg. Latency,Threads,Connections,Duration,Completed,Successful,Errors,"
    "Sockets,Min. latency,Max. latency,50% Latency,90% Latency,98% Latency,99% Latency,"
    "Latency Std Dev,Avg Client CPU,Avg Server CPU,Avg Server 2 CPU,Client Mem Usage,"
    "Server Mem,Server 2 Mem,Avg. Send Bandwidth,Avg. Recv. Bandwidth\n";

SubprocessResult kelv(std::vector<std::string> args) {
  args.insert(args.begin(), binaryPath("kelv"));
  SubprocessResult result = Subprocess::Run(args, RUN_TIMEOUT_MILLIS);
  EXPECT_TRUE(result.finished) << result.error;
  return result;
}

TEST(KelvCommandLine, NoArgumentIsAUsageError) {
  SubprocessResult result = kelv({});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.err, USAGE);
  EXPECT_EQ(result.out, "");
}

TEST(KelvCommandLine, HelpPrintsTheUsageAndWinsOverErrors) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-h"}, {"--help", UNUSED_URL}, {"--version", "-h"}}) {
    SubprocessResult result = kelv(args);
    EXPECT_EQ(result.exitStatus, 0) << args[0];
    EXPECT_EQ(result.err, USAGE);
    EXPECT_EQ(result.out, "");
  }
  SubprocessResult withError = kelv({"-c", "x", "-h"});
  EXPECT_EQ(withError.exitStatus, 0);
  EXPECT_TRUE(withError.err.ends_with(USAGE)) << withError.err;
  // An empty URL argument is a request for help too.
  SubprocessResult emptyUrl = kelv({""});
  EXPECT_EQ(emptyUrl.exitStatus, 0);
  EXPECT_EQ(emptyUrl.err, USAGE);
}

TEST(KelvCommandLine, VersionPrintsSevenLines) {
  SubprocessResult result = kelv({"--version"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  ASSERT_TRUE(result.out.ends_with("\n"));
  std::vector<std::string> lines =
      absl::StrSplit(result.out.substr(0, result.out.size() - 1), '\n');
  ASSERT_EQ(lines.size(), 7u) << result.out;
  EXPECT_EQ(lines[0], "kelv 1.2");
  EXPECT_TRUE(matchShape(lines[1], "  (git commit $Id: {x40} $)")) << lines[1];
  EXPECT_EQ(lines[1], std::string("  (git commit $Id: ") + SOURCE_REVISION + " $)");
  EXPECT_EQ(lines[2], "libev " + std::to_string(ev_version_major()) + "." +
                          std::to_string(ev_version_minor()));
  // Linux always has these three, in this order.
  EXPECT_TRUE(lines[3].starts_with("  Supported backends: select, poll, epoll")) << lines[3];
  EXPECT_TRUE(matchShape(lines[4], "  Recommended backends: {w}{*}")) << lines[4];
  EXPECT_EQ(lines[5], "http_parser " + std::to_string(HTTP_PARSER_VERSION_MAJOR) + "." +
                          std::to_string(HTTP_PARSER_VERSION_MINOR) + "." +
                          std::to_string(HTTP_PARSER_VERSION_PATCH));
  EXPECT_EQ(lines[6], OpenSSL_version(OPENSSL_VERSION));
}

TEST(KelvCommandLine, HeaderLineOptionPrintsTheCsvHeaderAndExits) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-T"}, {"-T", "-c", "abc"}, {"--header-line", "a", "b"}}) {
    SubprocessResult result = kelv(args);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.out, CSV_HEADER);
    EXPECT_EQ(result.err, "");
  }
  // Options before -T are read: the bad number is reported, the header still printed.
  SubprocessResult after = kelv({"-c", "abc", "-T"});
  EXPECT_EQ(after.exitStatus, 0);
  EXPECT_EQ(after.out, CSV_HEADER);
  EXPECT_NE(after.err.find("abc"), std::string::npos);
}

TEST(KelvCommandLine, BadValuesAreUsageErrors) {
  std::vector<std::vector<std::string>> cases = {
      {"-c", "12x", UNUSED_URL}, {"-d", "", UNUSED_URL},    {"-c", "0", UNUSED_URL},
      {"-W", "-1", UNUSED_URL},  {"-K", "1e3", UNUSED_URL}, {"--bogus", UNUSED_URL},
      {UNUSED_URL, "-c"},        {UNUSED_URL, UNUSED_URL},  {"-w", "99999999999", UNUSED_URL},
      {"-H", "", UNUSED_URL},
  };
  // Values that would split every request (or the CSV line) in two.
  for (const char* letter : {"-H", "-t", "-u", "-N", "-x"}) {
    for (const char* value : {"a: b\r\nc: d", "a\n", "\rb"})
      cases.push_back({letter, value, UNUSED_URL});
  }
  for (const auto& args : cases) {
    SubprocessResult result = kelv(args);
    EXPECT_EQ(result.exitStatus, 1) << args[0] << " " << args[1];
    EXPECT_TRUE(result.err.ends_with(USAGE)) << result.err;
    EXPECT_EQ(result.out, "");
  }
  // Each bad value is named on a line of its own before the usage text.
  SubprocessResult number = kelv({"-c", "12x", UNUSED_URL});
  EXPECT_TRUE(number.err.starts_with("kelv: invalid number \"12x\" for option -c\n")) << number.err;
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-c", "0", UNUSED_URL},
                                               {"-H", "", UNUSED_URL},
                                               {"-N", "a\rb", UNUSED_URL}}) {
    SubprocessResult refused = kelv(args);
    const std::string firstLine = refused.err.substr(0, refused.err.find('\n'));
    EXPECT_NE(firstLine.find(args[0]), std::string::npos) << refused.err;
    EXPECT_TRUE(refused.err.starts_with(firstLine + "\n" + USAGE)) << refused.err;
  }
}

TEST(KelvCommandLine, TargetErrorsEndTheProgramBeforeTheRun) {
  ScratchDir dir;
  ASSERT_TRUE(dir.WriteFile("empty.txt", ""));
  ASSERT_TRUE(dir.WriteFile("bad.txt", "http://127.0.0.1:1/\nftp://127.0.0.1/\n"));
  struct Case {
    std::string argument;
    std::string err;
  };
  const Case cases[] = {
      {"@", "Error opening URL file: I/O error\n"},
      {"@" + dir.File("missing.txt"),
       "Error opening URL file: I/O error: " + dir.File("missing.txt") + "\n"},
      {"@" + dir.File("empty.txt"), "No URLs in URL file \"" + dir.File("empty.txt") + "\"\n"},
      {"@" + dir.File("bad.txt"), "Error opening URL file: Invalid URL"},
      {"ftp://127.0.0.1/", "Invalid URL"},
  };
  for (const Case& c : cases) {
    SubprocessResult result = kelv({"-d", "1", c.argument});
    EXPECT_EQ(result.exitStatus, EXIT_STATUS_START_FAILED) << c.argument;
    EXPECT_TRUE(result.err.starts_with(c.err)) << c.argument << ": " << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.out.find("Duration:"), std::string::npos) << result.out;
  }
}

TEST(KelvCommandLine, ThreadSetUpErrorsPrintOneLineAndNoReport) {
  ScratchDir dir;
  const std::string missing = dir.File("missing");
  struct Case {
    std::vector<std::string> options;
    std::string err;
  };
  const Case cases[] = {
      {{"-f", missing}, "Cannot open input file " + missing + "\n"},
      {{"-F", missing}, "Could not load CA certificates from " + missing + "\n"},
      {{"-C", "NO-SUCH-CIPHER"}, "Set Cipher list to NO-SUCH-CIPHER failed\n"},
  };
  for (const Case& c : cases) {
    // Several threads: the failure shows once, on the first, and nothing starts.
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"-K", "3", "-c", "3", "-d", "1", UNUSED_URL});
    SubprocessResult result = kelv(args);
    EXPECT_EQ(result.exitStatus, EXIT_STATUS_START_FAILED);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, "");
  }
}

TEST(KelvCommandLine, TooLowHardFileLimitIsRefused) {
  SubprocessResult result = Subprocess::Run(
      {"prlimit", "--nofile=256:1024", binaryPath("kelv"), "-c", "1024", "-d", "1", UNUSED_URL},
      RUN_TIMEOUT_MILLIS);
  ASSERT_TRUE(result.finished) << result.error;
  EXPECT_EQ(result.exitStatus, EXIT_STATUS_START_FAILED);
  EXPECT_EQ(result.err, "Current hard file descriptor limit is 1024: it is too low. Try sudo\n");
  EXPECT_EQ(result.out, "");
}

TEST(KelvCommandLine, RefusedThreadEndsTheRunWithAMessage) {
  // Too little address space for forty thread stacks: the threads already started are
  // stopped and joined, the program does not abort.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit in a small address space";
#endif
  SubprocessResult result =
      Subprocess::Run({"prlimit", "--as=" + std::to_string(60 << 20), binaryPath("kelv"), "-K",
                       "40", "-c", "40", "-d", "1", UNUSED_URL},
                      RUN_TIMEOUT_MILLIS);
  ASSERT_TRUE(result.finished) << result.error;
  EXPECT_EQ(result.exitStatus, EXIT_STATUS_START_FAILED);
  // The threads that ran may have shown their first refused connect before it.
  const size_t lastLine = result.err.rfind('\n', result.err.size() - 2) + 1;
  EXPECT_TRUE(matchShape(result.err.substr(lastLine), std::string("Cannot start I/O thread {n}: ") +
                                                          std::strerror(EAGAIN) + "\n"))
      << result.err;
  EXPECT_EQ(result.out, "");
}

}  // namespace
}  // namespace kelv
