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

// What a failed operation ran into, as the transport saw it: enough for the engine to tell
// a refused connect from a reset, a TLS failure or a truncated stream.
enum class IoFault : int {
  NONE = 0,
  SYSTEM,     // a system call failed, also one underneath TLS: systemError holds its errno
  TLS,        // the TLS protocol failed: handshake, verification, a bad record
  TRUNCATED,  // the TCP stream ended without the TLS peer's close notification
};

// Returned by every connect, read, write and close. ioStatus is meaningful only when status
// is OK, the fault fields only when it is not.
struct [[nodiscard]] IoResult {
  Status status;
  IoStatus ioStatus = IoStatus::OK;
  IoFault fault = IoFault::NONE;
  int systemError = 0;
  // For a TLS fault, OpenSSL's reason ("certificate verify failed"), a static text; null
  // when it has none.
  const char* reason = nullptr;
};

}  // namespace kelv
