#include "lib/reporting/request_counters.h"

#include <algorithm>
#include <numeric>

namespace kelv {

const char* errorKindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::REFUSED:
      return "refused";
    case ErrorKind::NO_ADDRESS:
      return "no address";
    case ErrorKind::CONNECT:
      return "connect";
    case ErrorKind::TIMEOUT:
      return "timeout";
    case ErrorKind::RESET:
      return "reset";
    case ErrorKind::CLOSED_EARLY:
      return "closed early";
    case ErrorKind::READ:
      return "read";
    case ErrorKind::WRITE:
      return "write";
    case ErrorKind::TLS:
      return "tls";
    case ErrorKind::PARSE:
      return "parse";
  }
  return "unknown";
}

void addScheduleCounts(ScheduleCounters& total, const ScheduleCounters& part) {
  total.sent += part.sent;
  total.lateSends += part.lateSends;
  total.maxLagNanos = std::max(total.maxLagNanos, part.maxLagNanos);
  total.serviceTimes.Merge(part.serviceTimes);
  total.sendLags.Merge(part.sendLags);
}

int64_t errorTotal(const RequestCounters& counters) {
  return std::accumulate(counters.errors.begin(), counters.errors.end(), int64_t{0});
}

}  // namespace kelv
