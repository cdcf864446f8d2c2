#include "testing/scripted_server.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "absl/strings/numbers.h"
#include "absl/strings/str_split.h"
#include "testing/wait_until.h"

namespace kelv {
namespace {

constexpr int START_TIMEOUT_MILLIS = 10000;
constexpr int STOP_TIMEOUT_MILLIS = 5000;
constexpr std::string_view BLOCK_START = "=== connection ";

std::string pythonBinary() {
  // The system interpreter starts faster than a version-manager shim in PATH.
  return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

std::vector<std::string> commandLine(const ScriptedServerOptions& options,
                                     const ScratchDir& dir) {
  std::vector<std::string> argv = {pythonBinary(),
                                   std::string(KELV_TESTING_DIR) + "/scripted_server.py",
                                   "--behaviour", options.behaviour,
                                   "--after", std::to_string(options.after),
                                   "--pause", std::to_string(options.pauseMillis),
                                   "--body", options.body,
                                   "--size", std::to_string(options.size),
                                   "--record", dir.File("record"),
                                   "--stats", dir.File("stats"),
                                   "--lifetime", std::to_string(options.lifetimeSeconds)};
  if (options.ipv6) argv.push_back("--ipv6");
  if (!options.certFile.empty()) {
    argv.insert(argv.end(), {"--tls", options.certFile, options.keyFile});
  }
  if (options.tlsDrop) argv.push_back("--tls-drop");
  if (options.tlsHold) argv.push_back("--tls-hold");
  argv.insert(argv.end(), {"--delay", std::to_string(options.delayMillis), "--capacity",
                           std::to_string(options.capacity), "--freeze-for",
                           std::to_string(options.freezeMillis), "--freeze-after",
                           std::to_string(options.freezeAfterSeconds), "--arrivals",
                           dir.File("arrivals")});
  return argv;
}

}  // namespace

ScriptedServerStats parseScriptedServerStats(std::string_view text) {
  ScriptedServerStats stats;
  if (std::sscanf(std::string(text).c_str(), "connections=%d requests=%d", &stats.connections,
                  &stats.requests) != 2) {
    return ScriptedServerStats{-1, -1};
  }
  return stats;
}

std::vector<std::string> parseScriptedServerRecord(std::string_view record) {
  std::vector<std::string> connections;
  size_t pos = 0;
  while (record.substr(pos, BLOCK_START.size()) == BLOCK_START) {
    size_t lineEnd = record.find('\n', pos);
    if (lineEnd == std::string_view::npos) break;
    size_t number = 0;
    size_t length = 0;
    std::string header(record.substr(pos, lineEnd - pos));
    if (std::sscanf(header.c_str(), "=== connection %zu bytes %zu", &number, &length) != 2 ||
        lineEnd + 1 + length > record.size()) {
      break;
    }
    if (connections.size() <= number) connections.resize(number + 1);
    connections[number].append(record.substr(lineEnd + 1, length));
    pos = lineEnd + 1 + length + 1;
  }
  return connections;
}

ScriptedServer::ScriptedServer(const ScriptedServerOptions& serverOptions)
    : options(serverOptions) {
  if (dir.Path().empty()) {
    error = "cannot create a scratch directory";
    return;
  }
  process = std::make_unique<Subprocess>(commandLine(options, dir));
  std::string line;
  if (!process->Started()) {
    error = process->StartError();
  } else if (!process->ReadStdoutLine(&line, START_TIMEOUT_MILLIS) ||
             std::sscanf(line.c_str(), "PORT %hu", &port) != 1) {
    port = 0;
    error = "scripted server did not start: " + line + process->TakeStderr();
  }
}

ScriptedServer::~ScriptedServer() { Stop(); }

std::string ScriptedServer::Url(std::string_view path) const {
  std::string scheme = options.certFile.empty() ? "http" : "https";
  std::string host = options.ipv6 ? "[::1]" : "127.0.0.1";
  return scheme + "://" + host + ":" + std::to_string(port) + std::string(path);
}

std::vector<double> ScriptedServer::Arrivals() const {
  std::vector<double> arrivals;
  const std::string text = readWholeFile(dir.File("arrivals"));
  for (absl::string_view line : absl::StrSplit(text, '\n',
                                                absl::SkipEmpty())) {
    double seconds = 0;
    if (absl::SimpleAtod(line, &seconds)) arrivals.push_back(seconds);
  }
  return arrivals;
}

std::vector<std::string> ScriptedServer::Received() const {
  return parseScriptedServerRecord(readWholeFile(dir.File("record")));
}

ScriptedServerStats ScriptedServer::Stats() const {
  if (process == nullptr) return finalStats;
  return parseScriptedServerStats(readWholeFile(dir.File("stats")));
}

bool ScriptedServer::WaitForRequests(int count, int timeoutMillis) const {
  return waitUntil([&] { return Stats().requests >= count; }, timeoutMillis);
}

ScriptedServerStats ScriptedServer::Stop() {
  if (process == nullptr) return finalStats;
  process->Signal(SIGTERM);
  std::string line;
  if (process->WaitForStdoutLine("STATS ", STOP_TIMEOUT_MILLIS, &line)) {
    finalStats = parseScriptedServerStats(line.substr(line.find(' ') + 1));
  } else {
    finalStats = Stats();
  }
  if (!process->Wait(STOP_TIMEOUT_MILLIS)) process->Kill();
  process.reset();
  return finalStats;
}

}  // namespace kelv
