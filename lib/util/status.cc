#include "lib/util/status.h"

#include <string.h>

namespace kelv {
namespace {

constexpr size_t ERRNO_TEXT_SIZE = 64;

// glibc's strerror_r returns a pointer that may not be the buffer; the POSIX one fills
// the buffer and returns an int. One overload for each keeps the call portable.
[[maybe_unused]] const char* strerrorResult(const char* returned, const char*) { return returned; }
[[maybe_unused]] const char* strerrorResult(int returned, const char* buffer) {
  return returned == 0 ? buffer : "Unknown error";
}

}  // namespace

const char* statusCodeText(StatusCode code) {
  switch (code) {
    case StatusCode::OK:
      return "ok";
    case StatusCode::SOCKET_ERROR:
      return "Socket error";
    case StatusCode::TLS_ERROR:
      return "TLS error";
    case StatusCode::DNS_ERROR:
      return "DNS error";
    case StatusCode::INVALID_URL:
      return "Invalid URL";
    case StatusCode::IO_ERROR:
      return "I/O error";
    case StatusCode::INTERNAL_ERROR:
      return "Internal error";
  }
  return "Unknown error";
}

std::string errnoText(int errnoValue) {
  char buffer[ERRNO_TEXT_SIZE] = {};
  std::string text = strerrorResult(strerror_r(errnoValue, buffer, sizeof buffer), buffer);
  if (text.size() >= ERRNO_TEXT_SIZE) text.resize(ERRNO_TEXT_SIZE - 1);
  return text;
}

Status Status::FromErrno(StatusCode statusCode, int errnoValue) {
  return Status(statusCode, errnoText(errnoValue));
}

std::string Status::ToString() const {
  std::string text = statusCodeText(code);
  if (!message.empty()) {
    text += ": ";
    text += message;
  }
  return text;
}

std::ostream& operator<<(std::ostream& out, const Status& status) {
  return out << status.ToString();
}

std::ostream& operator<<(std::ostream& out, StatusCode code) {
  return out << statusCodeText(code);
}

}  // namespace kelv
