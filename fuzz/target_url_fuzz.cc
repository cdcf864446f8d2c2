// Target URLs as the command line and URL files give them: any bytes at all. A URL that parses
// must yield fields that can go on the wire as they are; when its host resolves (look-ups
// here are numeric only), the URL rebuilt from the fields must parse to the same target. A
// host that cannot resolve is never connected to, so its Host header is never sent.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "lib/targets/target_url.h"

namespace kelv {
namespace {

// Bytes that would end or split a request line or the Host header.
bool safeOnTheWire(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n \0", 4)) == std::string_view::npos;
}

std::string rebuilt(const TargetUrl& target) {
  return std::string(target.isSsl ? "https://" : "http://") + target.hostHeader +
         target.requestTarget;
}

bool sameTarget(const TargetUrl& a, const TargetUrl& b) {
  return a.port == b.port && a.isSsl == b.isSsl && a.requestTarget == b.requestTarget &&
         a.path == b.path && a.query == b.query && a.host == b.host &&
         a.hostHeader == b.hostHeader;
}

void checkParsed(const TargetUrl& target) {
  fuzzExpect(!target.host.empty(), "a parsed URL has a host");
  fuzzExpect(!target.path.empty(), "a parsed URL has a path");
  fuzzExpect(target.requestTarget.starts_with(target.path), "the request target starts with the path");
  fuzzExpect(safeOnTheWire(target.requestTarget), "the request target fits a request line");
  fuzzExpect(safeOnTheWire(target.hostHeader), "the Host header value fits a header line");
  fuzzExpect(target.hostHeader.find(target.host) != std::string::npos, "the Host header names the host");
}

}  // namespace
}  // namespace kelv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelv;
  const std::string_view url(reinterpret_cast<const char*>(data), size);
  TargetUrl target;
  if (!target.Parse(url).ok()) return 0;
  checkParsed(target);
  if (target.addresses.Empty()) return 0;
  TargetUrl again;
  fuzzExpect(again.Parse(rebuilt(target)).ok(), "the rebuilt URL parses");
  fuzzExpect(sameTarget(target, again), "the rebuilt URL is the same target");
  return 0;
}
