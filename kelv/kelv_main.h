#pragma once

namespace kelv {

// The whole program after start-up: options, targets, limits, then the test. Returns one of
// the statuses of exit_status.h.
int kelvMain(int argc, char** argv);

}  // namespace kelv
