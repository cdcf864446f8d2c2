#include <csignal>

#include "kelv/kelv_main.h"

int main(int argc, char** argv) {
  // A server that resets a connection must show as a socket error, not end the program.
  std::signal(SIGPIPE, SIG_IGN);
  return kelv::kelvMain(argc, argv);
}
