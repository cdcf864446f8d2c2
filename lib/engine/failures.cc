#include "lib/engine/failures.h"

#include <cctype>
#include <cerrno>
#include <cstdio>

#include "lib/targets/target_url.h"

namespace kelv {

ErrorKind connectErrorKind(const IoResult& result) {
  if (result.fault == IoFault::TLS) return ErrorKind::TLS;
  if (result.fault == IoFault::SYSTEM && result.systemError == ECONNREFUSED) {
    return ErrorKind::REFUSED;
  }
  return ErrorKind::CONNECT;
}

ErrorKind transferErrorKind(const IoResult& result, bool writing, bool established) {
  switch (result.fault) {
    case IoFault::TLS:
      return ErrorKind::TLS;
    case IoFault::TRUNCATED:
      return ErrorKind::CLOSED_EARLY;
    case IoFault::SYSTEM:
      if (result.systemError == ECONNREFUSED) return ErrorKind::REFUSED;
      if (result.systemError == ECONNRESET || result.systemError == EPIPE) {
        return ErrorKind::RESET;
      }
      if (!established) return ErrorKind::CONNECT;
      break;
    case IoFault::NONE:
      break;
  }
  return writing ? ErrorKind::WRITE : ErrorKind::READ;
}

std::string asPhrase(std::string_view text) {
  std::string phrase(text);
  const bool abbreviation =
      phrase.size() > 1 && std::isupper(static_cast<unsigned char>(phrase[1]));
  if (!phrase.empty() && !abbreviation) {
    phrase[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(phrase[0])));
  }
  return phrase;
}

std::string ioFailureReason(const IoResult& result) {
  switch (result.fault) {
    case IoFault::SYSTEM:
      return asPhrase(errnoText(result.systemError));
    case IoFault::TLS:
      return result.reason != nullptr ? result.reason : asPhrase(result.status.message);
    case IoFault::TRUNCATED:
      return "connection ended without a TLS close notification";
    case IoFault::NONE:
      break;
  }
  return asPhrase(result.status.message);
}

bool FailureNotices::Claim(ErrorKind kind) {
  std::atomic<bool>& flag = shown[static_cast<size_t>(kind)];
  // The load keeps the common case, a kind already shown, free of a locked instruction.
  return !flag.load(std::memory_order_relaxed) && !flag.exchange(true);
}

void FailureNotices::Show(const TargetUrl& target, const std::string& reason) {
  const bool ipv6 = target.host.find(':') != std::string::npos;
  std::fprintf(stderr, "kelv: %s%s%s:%u: %s (further errors of this kind are counted, not shown)\n",
               ipv6 ? "[" : "", target.host.c_str(), ipv6 ? "]" : "",
               static_cast<unsigned>(target.port), reason.c_str());
}

}  // namespace kelv
