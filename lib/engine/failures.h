#pragma once

#include <array>
#include <atomic>
#include <string>
#include <string_view>

#include "lib/reporting/request_counters.h"
#include "lib/transport/io_result.h"

namespace kelv {

class TargetUrl;

// The kind of a failed connect, from what the socket layer saw.
ErrorKind connectErrorKind(const IoResult& result);
// The kind of a failed write or read. A failure before the connection carried a byte is the
// connect's, which a non-blocking connect reports only then.
ErrorKind transferErrorKind(const IoResult& result, bool writing, bool established);

// What the user is told about a failed operation: the system's or OpenSSL's reason, as a
// phrase ("connection refused", "certificate verify failed").
std::string ioFailureReason(const IoResult& result);
// The text with its first letter in lower case, unless it starts an abbreviation.
std::string asPhrase(std::string_view text);

// The first failure of each kind, shown once per process on standard error while the run
// goes on; the rest are only counted. Shared by every I/O thread of a run.
class FailureNotices {
 public:
  // True for exactly one call per kind, from whichever thread comes first.
  bool Claim(ErrorKind kind);
  // "kelv: <host>:<port>: <reason> (further errors ...)" in one stdio call.
  static void Show(const TargetUrl& target, const std::string& reason);

 private:
  std::array<std::atomic<bool>, ERROR_KIND_COUNT> shown{};
};

}  // namespace kelv
