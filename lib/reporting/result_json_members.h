#pragma once

#include <iterator>

#include "lib/reporting/request_counters.h"

// What the writer and the reader of results agree on, beyond the schema's member names.

namespace kelv::result_members {

// CPU and memory figures are fractions in a measurement and percentages in a result.
constexpr double PERCENT = 100.0;

// The names of the error kinds in a result, in ErrorKind's order.
constexpr const char* ERROR_KINDS[] = {"refused", "noAddress", "connect", "timeout", "reset",
                                       "closedEarly", "read", "write", "tls", "parse"};
static_assert(std::size(ERROR_KINDS) == ERROR_KIND_COUNT);

constexpr char WARMUP_PHASE[] = "warmup";
constexpr char MEASURED_PHASE[] = "measured";
constexpr char SIGINT_NAME[] = "SIGINT";
constexpr char SIGTERM_NAME[] = "SIGTERM";

}  // namespace kelv::result_members
