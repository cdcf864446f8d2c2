#pragma once

#include "lib/util/status.h"

namespace kelv {

// The outcome of one non-blocking socket operation.
enum class IoStatus : int {
  OK = 0,             // completed; a read or write count is valid (it may be 0)
  NEED_READ = 1,      // call again once the socket is readable
  NEED_WRITE = 2,     // call again once the socket is writable
  END_OF_STREAM = 3,  // the TLS peer closed the connection (TLS reads only)
};

// Returned by every read, write and close. ioStatus is meaningful only when status is OK.
struct [[nodiscard]] IoResult {
  Status status;
  IoStatus ioStatus = IoStatus::OK;
};

}  // namespace kelv
