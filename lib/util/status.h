#pragma once

#include <ostream>
#include <string>
#include <utility>

namespace kelv {

enum class StatusCode : int {
  OK = 0,
  SOCKET_ERROR = 1,
  TLS_ERROR = 2,
  DNS_ERROR = 3,
  INVALID_URL = 4,
  IO_ERROR = 5,
  INTERNAL_ERROR = 6,
};

// The text of a code as the user sees it; "Unknown error" for values outside the enum.
const char* statusCodeText(StatusCode code);

// The result of an operation that can fail: a plain value, returned and never thrown.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(StatusCode statusCode, std::string text) : code(statusCode), message(std::move(text)) {}
  // The message is the system's text for the error number.
  static Status FromErrno(StatusCode statusCode, int errnoValue);

  bool ok() const { return code == StatusCode::OK; }
  // "ok", or the code's text followed by ": " and the message when there is one.
  std::string ToString() const;

  StatusCode code = StatusCode::OK;
  std::string message;
};

std::ostream& operator<<(std::ostream& out, const Status& status);
std::ostream& operator<<(std::ostream& out, StatusCode code);

// The text strerror_r gives for an error number, limited as a 64-byte buffer limits it.
std::string errnoText(int errnoValue);

}  // namespace kelv
