#pragma once

#include <ev.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <thread>

#include "lib/util/owned.h"
#include "lib/util/unique_fd.h"
#include "mon/client_limit.h"

namespace kelv {

// Results of MonServer::Start; kelvmon prints any non-zero one and exits with status 2.
constexpr int MON_START_OK = 0;
constexpr int MON_START_SOCKET_FAILED = -1;
constexpr int MON_START_BIND_FAILED = -2;
constexpr int MON_START_LISTEN_FAILED = -3;
constexpr int MON_START_NO_CPU_SAMPLING = -3;
constexpr int MON_START_MODE_FAILED = -4;
constexpr int MON_START_LOOP_FAILED = -5;
constexpr int MON_START_BAD_ADDRESS = -6;

// kelvmon's defaults: every IPv4 interface, and clients served at once.
inline constexpr const char* MON_DEFAULT_ADDRESS = "0.0.0.0";
constexpr int MON_DEFAULT_MAX_CLIENTS = 64;
// What a client beyond the limit is told before it is closed.
inline constexpr const char* MON_BUSY_REPLY = "Busy\n";

// A numeric IPv4 or IPv6 address to listen on (an IPv6 one may stand in brackets), with the
// port; false when the text is no such address.
struct ListenAddress {
  sockaddr_storage address = {};
  socklen_t length = 0;
};
bool parseListenAddress(const std::string& text, int port, ListenAddress& listen);

// The port kelvmon listens on, from its argument as atoi reads it (leading blanks, a sign,
// digits; nothing parsable gives 0), keeping the low 16 bits. Out-of-range numbers saturate
// instead of being undefined.
int monPortFromText(const char* text);

// The monitor server's listener: one libev loop on its own thread accepts clients and hands
// each to a detached thread of its own (MonServerConnection). At most maxClients are served
// at once; one more is told "Busy" and closed, so that a flood of connections cannot take
// every thread or all memory.
class MonServer {
 public:
  MonServer() = default;
  MonServer(const MonServer&) = delete;
  MonServer& operator=(const MonServer&) = delete;
  // Stops a listener that is still running, so that a forgotten Stop cannot end the process.
  ~MonServer();

  // Listens on the address (IPv4 or IPv6) and port; MON_START_OK or one of the negative codes
  // above.
  int Start(const std::string& address, int port, int maxClients = MON_DEFAULT_MAX_CLIENTS);
  // The local port actually bound, or -1 when there is none.
  int Port() const;
  // Waits for the loop thread to end.
  void Join();
  // Ends the listener's loop (from any thread), joins it and closes the listening socket.
  // Accepted connections run on until their clients leave.
  void Stop();

  // Event handlers, called from the loop thread's callbacks.
  void OnAcceptReady();
  void OnStopRequested();
  void OnAcceptRetry();

 private:
  using LoopPtr = std::unique_ptr<struct ev_loop, FnDeleter<ev_loop_destroy>>;

  int OpenListener(const ListenAddress& local);
  void StartWatchers();
  void PauseAccepting();
  void StartConnection(int fd, ClientSlot slot);
  int FailStart(const char* message, int code);

  UniqueFd listenFd;
  std::shared_ptr<ClientLimit> clients;
  LoopPtr loop;
  std::unique_ptr<std::thread> loopThread;
  ev_io acceptWatcher = {};
  ev_async stopWatcher = {};
  // Accepting pauses briefly while the process is out of descriptors, instead of spinning.
  ev_timer acceptRetryTimer = {};
};

}  // namespace kelv
