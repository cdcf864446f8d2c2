#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "lib/util/unique_fd.h"

namespace kelv {

// A stand-in monitor for tests: a TCP listener on 127.0.0.1 served by its own thread, one
// connection at a time. It records every command line it receives and answers each with a
// fixed reply, or with the reply set for that command. It stops when destroyed, or by itself after
// a bounded lifetime.
class FakeMonitor {
 public:
  // Port 0 lets the system choose.
  explicit FakeMonitor(uint16_t requestedPort = 0, std::string replyText = "0.25\n");
  FakeMonitor(const FakeMonitor&) = delete;
  FakeMonitor& operator=(const FakeMonitor&) = delete;
  ~FakeMonitor();

  bool Listening() const { return listener.Valid(); }
  int ListenError() const { return listenError; }
  uint16_t Port() const { return port; }
  std::string HostAndPort() const;

  // Answers this command line (without its line end) with its own reply from now on.
  void ReplyTo(const std::string& command, std::string replyText);
  // Drop each connection after answering this many commands (0: never).
  void CloseAfter(int commands) { closeAfter.store(commands); }
  // Every command line received so far, line ends included, in arrival order.
  std::string Received() const;
  int Accepted() const { return accepted.load(); }

 private:
  void Serve();
  void ServeConnection(UniqueFd connection);
  // Answers every whole line in `pending`; false once the connection is to be dropped.
  bool AnswerLines(int fd, std::string& pending, int& answered);
  std::string ReplyFor(const std::string& line);

  UniqueFd listener;
  int listenError = 0;
  uint16_t port = 0;
  const std::string reply;
  std::atomic<int> closeAfter{0};
  std::atomic<int> accepted{0};
  std::atomic<bool> stopping{false};
  mutable std::mutex receivedLock;
  std::string received;
  std::map<std::string, std::string> commandReplies;  // guarded by receivedLock
  std::thread server;
};

}  // namespace kelv
