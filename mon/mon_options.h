#pragma once

#include <optional>
#include <string>

#include "mon/mon_server.h"

namespace kelv {

// What kelvmon's command line asks for: kelvmon [--bind ADDRESS] [--max-clients N] PORT.
struct MonOptions {
  std::string bindAddress = MON_DEFAULT_ADDRESS;
  int maxClients = MON_DEFAULT_MAX_CLIENTS;
  int port = 0;  // as monPortFromText reads the argument
};

// Reads the arguments (argv[0] is the program's name). Only words that start with "--" are
// options, so that a port text such as "-1" keeps its old meaning; "--" ends the options.
// Nothing, and error holds the one line (with its "\n") to print, after any mistake.
std::optional<MonOptions> parseMonOptions(int argc, const char* const* argv, std::string& error);

}  // namespace kelv
