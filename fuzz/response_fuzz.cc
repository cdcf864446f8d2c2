// Response bytes as a server may send them, in pieces of any size, through a real loopback
// connection to a Connection whose event loop runs on this thread, one step at a time.
// However the bytes come, every request the server received must end exactly once (as a
// result or as a socket error), the requests must arrive whole, and the byte counts must
// match what crossed the wire.
//
// Input: a flags byte (bit 0: HEAD requests, bit 1: keep-alive off), then the bytes the
// server sends; each DEL byte (0x7f) ends one piece, which is sent once the client has
// settled.

#include <arpa/inet.h>
#include <ev.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "lib/engine/connection.h"
#include "lib/engine/io_thread.h"
#include "lib/reporting/request_counters.h"
#include "lib/targets/target_url.h"
#include "lib/util/unique_fd.h"

namespace kelv {
namespace {

constexpr char PIECE_END = 0x7f;
// Steps without any progress before the client counts as settled, and the most steps one
// settling may take before it counts as stuck.
constexpr int IDLE_STEPS = 2;
constexpr int MAX_SETTLE_STEPS = 10000;

// What the client's counters added up to over one input.
struct ClientTotals {
  int64_t results = 0;
  uint64_t bytesRead = 0;
  uint64_t bytesWritten = 0;
  uint64_t latencies = 0;
  int64_t errors = 0;  // socket errors of every kind
  int64_t opened = 0;  // connections
};

// The server end: the loopback listener, and the connection the client holds now.
class Server {
 public:
  Server() {
    listener.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    fuzzExpect(listener.Valid() &&
                   ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                   ::listen(listener.Get(), 16) == 0 &&
                   ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) == 0,
               "a loopback listener can be opened");
    port = ntohs(address.sin_port);
  }

  uint16_t Port() const { return port; }

  // Takes a new connection of the client, which has given up the previous one.
  bool AcceptPending() {
    UniqueFd fresh(::accept4(listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fresh.Valid()) return false;
    Drain();
    // Reset rather than close: no connection of the thousands a run makes lingers in TIME_WAIT.
    const linger noLinger{1, 0};
    static_cast<void>(::setsockopt(fresh.Get(), SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger));
    current = std::move(fresh);
    ++accepted;
    return true;
  }

  // Reads what the client sent so far; true when anything came.
  bool Drain() {
    bool any = false;
    char buffer[4096];
    for (ssize_t got; current.Valid() && (got = ::recv(current.Get(), buffer, sizeof buffer, 0)) > 0;) {
      received.append(buffer, static_cast<size_t>(got));
      any = true;
    }
    return any;
  }

  void Send(std::string_view piece) {
    if (!current.Valid() || piece.empty()) return;
    const ssize_t count = ::send(current.Get(), piece.data(), piece.size(), MSG_NOSIGNAL);
    if (count > 0) sent += static_cast<uint64_t>(count);
  }

  void ResetCurrent() { current.Reset(); }

  void StartInput() {
    received.clear();
    sent = 0;
    accepted = 0;
  }

  std::string received;  // every byte the client sent during this input
  uint64_t sent = 0;
  int accepted = 0;

 private:
  UniqueFd listener;
  UniqueFd current;
  uint16_t port = 0;
};

// The process-wide pieces: the server, the target list and an I/O thread record that is never
// started (its loop runs here, step by step).
struct Rig {
  Rig() {
    std::signal(SIGPIPE, SIG_IGN);  // as the program does
    Connection::InitParserSettings();
    fuzzExpect(TargetUrl::Add("http://127.0.0.1:" + std::to_string(server.Port()) + "/").ok(),
               "the loopback target parses");
    thread.loop = ev_loop_new(EVFLAG_AUTO);
    fuzzExpect(thread.loop != nullptr, "an event loop can be made");
    thread.verbose = false;
  }

  Server server;
  IOThread thread;
  // Installed at the next step in place of a freshly made record, whose large histogram would
  // cost more to make than the step itself.
  std::unique_ptr<RequestCounters> spare = std::make_unique<RequestCounters>();
};

Rig& rig() {
  static Rig* const shared = new Rig();  // lives to the end of the process
  return *shared;
}

void addCounters(Rig& r, ClientTotals& totals) {
  std::unique_ptr<RequestCounters> taken = r.thread.SwapCounters(std::move(r.spare));
  totals.results += taken->successful + taken->unsuccessful;
  totals.bytesRead += taken->bytesRead;
  totals.bytesWritten += taken->bytesWritten;
  totals.latencies += taken->latencies.Count();
  totals.errors += errorTotal(*taken);
  totals.opened += taken->connectionsOpened;
  taken->successful = taken->unsuccessful = taken->connectionsOpened = 0;
  taken->bytesRead = taken->bytesWritten = 0;
  taken->errors.fill(0);
  taken->statusCodes.fill(0);
  taken->latencies.Clear();  // kept, not made anew: a fresh histogram per input is slow
  r.spare = std::move(taken);
}

// Runs loop steps until nothing moves any more: no bytes either way, no new connection.
void settle(Rig& r, ClientTotals& totals, const Connection& connection) {
  int idle = 0;
  for (int step = 0; step < MAX_SETTLE_STEPS; ++step) {
    const ClientTotals before = totals;
    ev_run(r.thread.loop, EVRUN_NOWAIT);
    addCounters(r, totals);
    bool moved = r.server.AcceptPending();
    moved = r.server.Drain() || moved;
    moved = moved || totals.bytesRead != before.bytesRead ||
            totals.bytesWritten != before.bytesWritten || totals.results != before.results;
    idle = moved ? 0 : idle + 1;
    if (idle >= IDLE_STEPS || connection.Done()) return;
  }
  fuzzExpect(false, "the client settles once the server is quiet");
}

std::vector<std::string_view> piecesOf(std::string_view stream) {
  std::vector<std::string_view> pieces;
  for (size_t start = 0; start <= stream.size();) {
    const size_t end = std::min(stream.find(PIECE_END, start), stream.size());
    pieces.push_back(stream.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

// Every request the server got is the same whole request; their number.
int64_t countRequests(const std::string& received) {
  if (received.empty()) return 0;
  const size_t end = received.find("\r\n\r\n");
  fuzzExpect(end != std::string::npos, "a request arrives with its whole head");
  const std::string_view one(received.data(), end + 4);
  fuzzExpect(received.size() % one.size() == 0, "requests arrive whole");
  for (size_t at = 0; at < received.size(); at += one.size()) {
    fuzzExpect(received.compare(at, one.size(), one) == 0, "every request is the same");
  }
  return static_cast<int64_t>(received.size() / one.size());
}

void checkAccounting(const Rig& r, const ClientTotals& totals) {
  fuzzExpect(totals.bytesWritten == r.server.received.size(), "bytes written all arrived");
  fuzzExpect(totals.bytesRead <= r.server.sent, "no more bytes read than were sent");
  fuzzExpect(totals.latencies == static_cast<uint64_t>(totals.results), "one latency per result");
  fuzzExpect(totals.opened == r.server.accepted, "every connection opened was accepted");
  fuzzExpect(countRequests(r.server.received) == totals.results + totals.errors,
             "every request ends once, as a result or a socket error");
}

}  // namespace
}  // namespace kelv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelv;
  if (size < 1) return 0;
  Rig& r = rig();
  r.thread.method = (data[0] & 1) != 0 ? "HEAD" : "GET";
  r.thread.noKeepAlive = (data[0] & 2) != 0 ? 1 : 0;
  r.thread.keepRunning = 1;
  r.server.StartInput();
  ClientTotals earlier;  // counted before this input
  addCounters(r, earlier);

  ClientTotals totals;
  auto connection = std::make_unique<Connection>(0, &r.thread);
  connection->Start();
  for (std::string_view piece : piecesOf({reinterpret_cast<const char*>(data) + 1, size - 1})) {
    settle(r, totals, *connection);
    r.server.Send(piece);
  }
  settle(r, totals, *connection);
  // The end: the client is told to stop, and the server drops the connection.
  connection->AskToTerminate();
  r.thread.keepRunning = 0;
  r.server.ResetCurrent();
  settle(r, totals, *connection);
  fuzzExpect(connection->Done(), "the connection ends once the server has gone");
  connection.reset();
  checkAccounting(r, totals);
  return 0;
}
