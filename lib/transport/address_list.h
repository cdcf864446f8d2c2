#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lib/util/status.h"

namespace kelv {

// The resolved addresses of one host, in the resolver's order, each with port 0; the port
// is applied when an address is chosen. Read-only once looked up.
class AddressList {
 public:
  // getaddrinfo with AI_ADDRCONFIG | AI_V4MAPPED and SOCK_STREAM. On failure the list
  // is left empty.
  [[nodiscard]] static Status Lookup(const std::string& host, int family, AddressList* out);

  // Entry (index modulo size) with the port set; the empty address (AF_UNSPEC) when the
  // list is empty.
  sockaddr_storage Choose(uint16_t port, int index) const;

  // Same family and the same bytes over the family's address structure.
  static bool SameAddress(const sockaddr_storage& a, const sockaddr_storage& b);
  // The numeric host text (no brackets for IPv6), or empty when it cannot be formed.
  static std::string NumericName(const sockaddr_storage& address);
  // sizeof(sockaddr_in) for AF_INET, sizeof(sockaddr_in6) for AF_INET6, else 0.
  static socklen_t Length(const sockaddr_storage& address);

  void Append(const sockaddr_storage& address) { addresses.push_back(address); }
  size_t Size() const { return addresses.size(); }
  bool Empty() const { return addresses.empty(); }

 private:
  std::vector<sockaddr_storage> addresses;
};

}  // namespace kelv
