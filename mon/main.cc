#include <csignal>
#include <cstdio>
#include <string>

#include "mon/mon_options.h"
#include "mon/mon_server.h"

namespace {

constexpr int EXIT_USAGE_OR_START_FAILED = 2;

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const auto options = kelv::parseMonOptions(argc, argv, error);
  if (!options) {
    std::fputs(error.c_str(), stderr);
    return EXIT_USAGE_OR_START_FAILED;
  }
  // Replies are sent with MSG_NOSIGNAL already; this covers any other write to a closed peer.
  std::signal(SIGPIPE, SIG_IGN);
  kelv::MonServer server;
  const int started = server.Start(options->bindAddress, options->port, options->maxClients);
  if (started != kelv::MON_START_OK) {
    std::fprintf(stderr, "Can't start monitoring server: %d\n", started);
    return EXIT_USAGE_OR_START_FAILED;
  }
  std::printf("kelvmon listening on port %d\n", server.Port());
  std::fflush(stdout);
  server.Join();
  return 0;
}
