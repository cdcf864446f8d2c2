#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lib/engine/io_thread.h"
#include "lib/reporting/request_counters.h"
#include "testing/scripted_server.h"
#include "testing/test_certs.h"

// Support for the engine's tests: real I/O threads against real loopback servers.

namespace kelv {

// Fills the process-wide target list for one test and empties it afterwards.
class TargetListForTest {
 public:
  explicit TargetListForTest(const std::vector<std::string>& urls);
  TargetListForTest(const TargetListForTest&) = delete;
  TargetListForTest& operator=(const TargetListForTest&) = delete;
  ~TargetListForTest();
};

// Options of a scripted server with that behaviour after `after` plain answers.
ScriptedServerOptions scripted(const std::string& behaviour, int after = 0);
// The same, served over TLS with the test certificates' server chain.
ScriptedServerOptions scriptedTls(const TestCertificates& certs, const std::string& behaviour,
                                  int after = 0);

// A scripted server for one test, or one case of a loop, as the only target (at the path).
struct ScriptedTarget {
  explicit ScriptedTarget(const ScriptedServerOptions& options = {}, const std::string& path = "/");
  // Whether the server listens; its error when not.
  ::testing::AssertionResult Started() const;
  // "127.0.0.1:<port>", as the Host header names it.
  std::string HostPort() const;

  ScriptedServer server;
  TargetListForTest targets;
};

// Sends what this process writes to a standard descriptor (1 or 2) into a file until Finish.
class OutputCapture {
 public:
  explicit OutputCapture(int descriptor);
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;
  ~OutputCapture();
  // Restores the descriptor and returns what was written meanwhile.
  std::string Finish();
  // What was written so far, while the capture goes on.
  std::string Peek() const;
  // Waits until the text has been written, at most the time.
  bool WaitFor(const std::string& text, int millis) const;

 private:
  int target;
  int saved = -1;
  int file = -1;
};

// What one run of a thread counted, and what it printed when its verbose flag was set.
struct RunCounts {
  RequestCounters record;
  int connectionsOpened = 0;
  int socketErrors = 0;  // over every kind
  std::string verbose;

  int Errors(ErrorKind kind) const { return record.errors[static_cast<size_t>(kind)]; }
};

// An I/O thread with "GET", keep-alive and the given connections; oneRequest makes each
// connection send one request.
std::unique_ptr<IOThread> makeThread(int connections, bool oneRequest = false);
// A client context like the program's: partial writes, no peer verification.
SslCtxPtr makeClientContext();

// Joins; after the time a forced stop ends the loop, and the result is false.
bool joinWithin(IOThread& thread, int millis);
// The run helpers below capture standard output from the start to the join when the
// thread's verbose flag is set.

// Starts the thread, lets untilJoined wait for its end, and takes what it counted.
RunCounts runAndCollect(IOThread& thread, const std::function<void()>& untilJoined);
// Starts, lets it run, asks it to stop with the timeout and joins (forcing it after
// joinMillis). The counts of the whole run.
RunCounts runFor(IOThread& thread, int runMillis, int stopSeconds = 2, int joinMillis = 10000);
// Starts, waits until the server has read that many requests (at most waitMillis), then
// stops and joins as runFor does.
RunCounts runUntilServed(IOThread& thread, const ScriptedServer& server, int requests,
                         int waitMillis = 10000);
// Starts a one-request thread and joins it (forcing it after the time).
RunCounts runToEnd(IOThread& thread, int joinMillis = 10000);
// Takes the thread's record.
RunCounts collect(IOThread& thread);

// Splits a byte stream of requests into single requests (head plus Content-Length body).
std::vector<std::string> splitRequests(const std::string& stream);
int countOccurrences(const std::string& text, const std::string& part);

}  // namespace kelv
