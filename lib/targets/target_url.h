#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lib/transport/address_list.h"
#include "lib/util/random.h"
#include "lib/util/status.h"

namespace kelv {

// One URL that requests go to, parsed once at start-up. All targets of a run sit in the
// process-wide target list, filled on the main thread before any I/O thread starts and
// read-only afterwards.
class TargetUrl {
 public:
  // Fills this target from a URL and resolves its host; a host that does not resolve
  // leaves `addresses` empty and is not an error.
  [[nodiscard]] Status Parse(std::string_view url);

  // Parses one URL and appends it to the target list; nothing is added on failure.
  [[nodiscard]] static Status Add(std::string_view url);
  // Appends one target per line of a URL file and prints the count line.
  [[nodiscard]] static Status LoadFile(const std::string& path);

  // The target of the next request: the only one without drawing, else a uniform draw;
  // null when the list is empty.
  static const TargetUrl* Next(RandomState& random);
  // Whether both targets lead to the same socket address for the given I/O thread.
  bool SameServer(const TargetUrl& other, int threadIndex) const;

  static const std::vector<std::unique_ptr<TargetUrl>>& List();
  // Empties the target list; for tests that load several lists in one process.
  static void ClearListForTest();

  uint16_t port = 0;
  bool isSsl = false;
  std::string requestTarget;  // path, "?query", "#fragment"
  std::string path;           // "/" when the URL has none
  std::string query;          // without the "?"
  std::string host;           // an IPv6 literal without brackets
  std::string hostHeader;     // host, ":port" unless the scheme's default; IPv6 bracketed
  AddressList addresses;
  std::string lookupError;  // why the lookup found no address; empty when it succeeded

 private:
  static std::vector<std::unique_ptr<TargetUrl>>& MutableList();
};

}  // namespace kelv
