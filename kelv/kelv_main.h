#pragma once

namespace kelv {

// Exit statuses: a usage error is the only failure the exit status shows.
constexpr int EXIT_STATUS_OK = 0;
constexpr int EXIT_STATUS_USAGE_ERROR = 1;

// The whole program after start-up: options, targets, limits, then the test.
int kelvMain(int argc, char** argv);

}  // namespace kelv
