#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

#include "lib/reporting/latency_histogram.h"

namespace kelv {

// Why a request failed, counted as one socket error of exactly one kind. The order is the
// order of the report's lines.
enum class ErrorKind : uint8_t {
  REFUSED,       // the connect was refused
  NO_ADDRESS,    // the target's host has no address
  CONNECT,       // any other failed connect
  TIMEOUT,       // no complete response within the request timeout
  RESET,         // the connection was reset by the peer
  CLOSED_EARLY,  // the stream ended before a complete response, cleanly or not
  READ,          // any other failed read
  WRITE,         // any other failed write
  TLS,           // handshake, certificate verification, or TLS on an established connection
  PARSE,         // bytes that are not a valid response
};
constexpr size_t ERROR_KIND_COUNT = 10;

// "refused", "no address", ...: the kind as the report and the error lines name it.
const char* errorKindName(ErrorKind kind);

// Status codes are three digits, so one counter per possible code.
constexpr size_t STATUS_CODE_LIMIT = 1000;

// A send that leaves more than this after its due time is late: the connection was still busy
// with an earlier request, or the client could not keep up.
constexpr int64_t LATE_SEND_NANOS = 1'000'000;

// What a run on a send schedule counts beside the counts of every run.
struct ScheduleCounters {
  int64_t sent = 0;       // requests started (a connect, or the first write on a kept socket)
  int64_t lateSends = 0;  // started more than LATE_SEND_NANOS after their due time
  int64_t maxLagNanos = 0;
  LatencyHistogram serviceTimes;  // from the actual send to the complete response
  LatencyHistogram sendLags;      // from the due time to the actual send
};

// Adds the counts of one record's schedule part to a total.
void addScheduleCounts(ScheduleCounters& total, const ScheduleCounters& part);

// One I/O thread's counts for one counting period. Written only by the thread whose
// current record it is; handed to the reporting by IOThread::SwapCounters, so whatever it
// counted before a recording period starts, or after it stops, is never reported.
struct RequestCounters {
  int32_t successful = 0;    // complete responses with a status from 200 to 299
  int32_t unsuccessful = 0;  // complete responses with any other status
  uint64_t bytesRead = 0;
  uint64_t bytesWritten = 0;
  int32_t connectionsOpened = 0;
  std::array<int32_t, ERROR_KIND_COUNT> errors{};        // by ErrorKind
  std::array<int32_t, STATUS_CODE_LIMIT> statusCodes{};  // complete responses by status
  LatencyHistogram latencies;  // one sample per complete response, nanoseconds
  // On a send schedule, a request belongs to the period in which it fell due: the sends and
  // outcomes of requests due before this instant (timeNow) are not counted here. The closed
  // loop leaves it at the lowest value, so that everything counts.
  int64_t dueFrom = std::numeric_limits<int64_t>::min();
  std::unique_ptr<ScheduleCounters> schedule;  // present on a send schedule only
};

// Every socket error is counted under one kind, so this is the number of socket errors.
int64_t errorTotal(const RequestCounters& counters);

}  // namespace kelv
