#include <csignal>
#include <cstdio>

#include "mon/mon_server.h"

namespace {

constexpr int EXIT_USAGE_OR_START_FAILED = 2;
constexpr const char* LISTEN_ADDRESS = "0.0.0.0";

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: %s <port>\n", argc > 0 ? argv[0] : "kelvmon");
    return EXIT_USAGE_OR_START_FAILED;
  }
  // Replies are sent with MSG_NOSIGNAL already; this covers any other write to a closed peer.
  std::signal(SIGPIPE, SIG_IGN);
  kelv::MonServer server;
  const int started = server.Start(LISTEN_ADDRESS, kelv::monPortFromText(argv[1]));
  if (started != kelv::MON_START_OK) {
    std::fprintf(stderr, "Can't start monitoring server: %d\n", started);
    return EXIT_USAGE_OR_START_FAILED;
  }
  std::printf("kelvmon listening on port %d\n", server.Port());
  std::fflush(stdout);
  server.Join();
  return 0;
}
