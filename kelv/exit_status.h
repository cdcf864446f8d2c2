#pragma once

namespace kelv {

// What kelv's exit status tells a script.
constexpr int EXIT_STATUS_OK = 0;            // the run had a successful response; or help, version
constexpr int EXIT_STATUS_USAGE_ERROR = 1;   // the command line is wrong
constexpr int EXIT_STATUS_START_FAILED = 2;  // the run could not start
constexpr int EXIT_STATUS_NO_SUCCESS = 3;    // the run ran, but no response was successful
constexpr int EXIT_STATUS_OUTPUT_FAILED = 4;  // the result file could not be written
// A run ended early by a stop signal exits with this plus the signal's number: 130 for SIGINT,
// 143 for SIGTERM, as a shell reports a program that the signal ended.
constexpr int EXIT_STATUS_SIGNAL_BASE = 128;

}  // namespace kelv
