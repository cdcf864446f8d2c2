#include "testing/engine_test_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "lib/targets/target_url.h"
#include "lib/util/strings.h"
#include "testing/scripted_server.h"
#include "testing/wait_until.h"

namespace kelv {
namespace {

// A peer that resets a connection must not end the test process.
const bool SIGPIPE_IGNORED = [] {
  signal(SIGPIPE, SIG_IGN);
  return true;
}();

// gtest reports a failing check on standard output at once: one made while the output is
// captured would be lost with the capture.
void showFailuresIn(const std::string& text) {
  constexpr int CONTEXT_LINES = 6;
  if (!::testing::Test::HasFailure()) return;
  for (size_t at = text.find(": Failure\n"); at != std::string::npos;
       at = text.find(": Failure\n", at + 1)) {
    size_t start = text.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    size_t end = at;
    for (int i = 0; i < CONTEXT_LINES && end != std::string::npos; ++i)
      end = text.find('\n', end + 1);
    std::fwrite(text.data() + start, 1, (end == std::string::npos ? text.size() : end) - start,
                stdout);
    std::fputc('\n', stdout);
  }
}

// Captures standard output while the thread runs with its verbose flag set.
class VerboseCapture {
 public:
  explicit VerboseCapture(const IOThread& thread) {
    if (thread.verbose) capture.emplace(STDOUT_FILENO);
  }
  std::string Finish() { return capture ? capture->Finish() : ""; }

 private:
  std::optional<OutputCapture> capture;
};

}  // namespace

RunCounts runAndCollect(IOThread& thread, const std::function<void()>& untilJoined) {
  VerboseCapture out(thread);
  const Status started = thread.Start();
  EXPECT_TRUE(started.ok()) << started;
  untilJoined();
  std::string verbose = out.Finish();
  RunCounts counts = collect(thread);
  counts.verbose = std::move(verbose);
  return counts;
}

ScriptedServerOptions scripted(const std::string& behaviour, int after) {
  ScriptedServerOptions options;
  options.behaviour = behaviour;
  options.after = after;
  return options;
}

ScriptedServerOptions scriptedTls(const TestCertificates& certs, const std::string& behaviour,
                                  int after) {
  ScriptedServerOptions options = scripted(behaviour, after);
  options.certFile = certs.serverCert;
  options.keyFile = certs.serverKey;
  return options;
}

ScriptedTarget::ScriptedTarget(const ScriptedServerOptions& options, const std::string& path)
    : server(options), targets({server.Url(path)}) {}

::testing::AssertionResult ScriptedTarget::Started() const {
  if (server.ok()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the scripted server did not start: " << server.Error();
}

std::string ScriptedTarget::HostPort() const {
  return "127.0.0.1:" + std::to_string(server.Port());
}

TargetListForTest::TargetListForTest(const std::vector<std::string>& urls) {
  static_cast<void>(SIGPIPE_IGNORED);
  TargetUrl::ClearListForTest();
  for (const std::string& url : urls) {
    Status status = TargetUrl::Add(url);
    EXPECT_TRUE(status.ok()) << url << ": " << status;
  }
}

TargetListForTest::~TargetListForTest() { TargetUrl::ClearListForTest(); }

OutputCapture::OutputCapture(int descriptor) : target(descriptor) {
  std::fflush(stdout);
  char name[] = "/tmp/kelv-capture-XXXXXX";
  file = mkstemp(name);
  if (file < 0) return;
  unlink(name);
  saved = dup(target);
  dup2(file, target);
}

OutputCapture::~OutputCapture() { static_cast<void>(Finish()); }

std::string OutputCapture::Finish() {
  if (saved < 0) return "";
  std::fflush(stdout);
  dup2(saved, target);
  close(saved);
  saved = -1;
  std::string text;
  char buffer[65536];
  lseek(file, 0, SEEK_SET);
  for (ssize_t n; (n = read(file, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(n));
  }
  close(file);
  file = -1;
  showFailuresIn(text);
  return text;
}

std::string OutputCapture::Peek() const {
  std::fflush(stdout);
  std::string text;
  char buffer[65536];
  off_t offset = 0;
  for (ssize_t n; (n = pread(file, buffer, sizeof buffer, offset)) > 0; offset += n) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

bool OutputCapture::WaitFor(const std::string& text, int millis) const {
  return waitUntil([&] { return Peek().find(text) != std::string::npos; }, millis);
}

std::unique_ptr<IOThread> makeThread(int connections, bool oneRequest) {
  auto thread = std::make_unique<IOThread>();
  thread->numConnections = connections;
  thread->method = "GET";
  thread->keepRunning = oneRequest ? -1 : 1;
  thread->sslCtx = makeClientContext();
  return thread;
}

SslCtxPtr makeClientContext() {
  SslCtxPtr context(SSL_CTX_new(TLS_client_method()));
  SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE);
  return context;
}

bool joinWithin(IOThread& thread, int millis) {
  std::mutex lock;
  std::condition_variable joined;
  bool done = false;
  std::thread joiner([&] {
    thread.Join();
    std::lock_guard<std::mutex> guard(lock);
    done = true;
    joined.notify_all();
  });
  bool inTime;
  {
    std::unique_lock<std::mutex> guard(lock);
    inTime = joined.wait_for(guard, std::chrono::milliseconds(millis), [&] { return done; });
  }
  if (!inTime) thread.RequestStop(0);
  joiner.join();
  return inTime;
}

RunCounts collect(IOThread& thread) {
  RunCounts counts;
  counts.record = std::move(*thread.SwapCounters());
  counts.connectionsOpened = counts.record.connectionsOpened;
  counts.socketErrors = static_cast<int>(errorTotal(counts.record));
  return counts;
}

RunCounts runFor(IOThread& thread, int runMillis, int stopSeconds, int joinMillis) {
  return runAndCollect(thread, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(runMillis));
    thread.RequestStop(stopSeconds);
    EXPECT_TRUE(joinWithin(thread, joinMillis)) << "the thread had to be stopped by force";
  });
}

RunCounts runUntilServed(IOThread& thread, const ScriptedServer& server, int requests,
                         int waitMillis) {
  return runAndCollect(thread, [&] {
    EXPECT_TRUE(server.WaitForRequests(requests, waitMillis))
        << "too few requests reached the server";
    thread.RequestStop(2);
    EXPECT_TRUE(joinWithin(thread, 10000)) << "the thread had to be stopped by force";
  });
}

RunCounts runToEnd(IOThread& thread, int joinMillis) {
  return runAndCollect(thread, [&] {
    EXPECT_TRUE(joinWithin(thread, joinMillis)) << "the loop did not end by itself";
  });
}

std::vector<std::string> splitRequests(const std::string& stream) {
  std::vector<std::string> requests;
  size_t pos = 0;
  while (pos < stream.size()) {
    size_t headEnd = stream.find("\r\n\r\n", pos);
    if (headEnd == std::string::npos) {
      requests.push_back(stream.substr(pos));  // an unfinished request shows as it is
      break;
    }
    headEnd += 4;
    size_t length = 0;
    std::string head = stream.substr(pos, headEnd - pos);
    for (size_t line = head.find("\r\n"); line != std::string::npos;
         line = head.find("\r\n", line + 2)) {
      std::string_view rest = std::string_view(head).substr(line + 2);
      if (rest.size() > 15 && equalsIgnoreCase(rest.substr(0, 15), "content-length:")) {
        length = std::strtoul(std::string(rest.substr(15)).c_str(), nullptr, 10);
      }
    }
    size_t end = std::min(stream.size(), headEnd + length);
    requests.push_back(stream.substr(pos, end - pos));
    pos = end;
  }
  return requests;
}

int countOccurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) {
    ++count;
  }
  return count;
}

}  // namespace kelv
