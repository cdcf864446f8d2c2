#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "testing/scratch_dir.h"
#include "testing/subprocess.h"

namespace kelv {

// Options of testing/scripted_server.py (its header comment describes each behaviour).
struct ScriptedServerOptions {
  std::string behaviour = "ok";
  int after = 0;          // requests per connection answered "ok" before the behaviour applies
  int pauseMillis = 100;  // between the pieces of "split"
  std::string body = "ok";
  int size = 1 << 20;  // of the big-header line and the big-body and big-chunked bodies
  bool ipv6 = false;
  std::string certFile;  // with keyFile: serve TLS
  std::string keyFile;
  bool tlsDrop = false;  // TLS: end connections without a close notification
  bool tlsHold = false;  // TLS: hold ending connections open, without a notification
  int lifetimeSeconds = 120;
  double delayMillis = 0;         // every answer waits this long
  double capacity = 0;            // answers per second of the whole server; 0: no limit
  int freezeMillis = 0;           // one freeze of the whole server, beginning ...
  double freezeAfterSeconds = 0;  // ... this long after the first request
};

struct ScriptedServerStats {
  int connections = 0;
  int requests = 0;
};

// Runs testing/scripted_server.py for one test, with its record and stats files in a scratch
// directory of its own; the destructor stops it.
class ScriptedServer {
 public:
  explicit ScriptedServer(const ScriptedServerOptions& options = {});
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;
  ~ScriptedServer();

  bool ok() const { return port != 0; }
  const std::string& Error() const { return error; }
  uint16_t Port() const { return port; }
  // "http://127.0.0.1:<port>" + path; https and [::1] as the options say.
  std::string Url(std::string_view path = "/") const;

  // The bytes each connection sent, in accept order (connections that sent nothing are
  // empty strings).
  std::vector<std::string> Received() const;
  // Counts as of now.
  ScriptedServerStats Stats() const;
  // Waits until at least that many requests have been read; false at the timeout.
  bool WaitForRequests(int count, int timeoutMillis) const;
  // SIGTERM, then the counts the server printed on its way out.
  ScriptedServerStats Stop();
  // After Stop: the arrival time of every request in seconds, in arrival order.
  std::vector<double> Arrivals() const;

 private:
  ScriptedServerOptions options;
  ScratchDir dir{"kelv-scripted"};
  std::unique_ptr<Subprocess> process;
  uint16_t port = 0;
  std::string error;
  ScriptedServerStats finalStats;
};

// Parses one "connections=<c> requests=<r>" text.
ScriptedServerStats parseScriptedServerStats(std::string_view text);
// Splits the record file into the bytes of each connection.
std::vector<std::string> parseScriptedServerRecord(std::string_view record);

}  // namespace kelv
