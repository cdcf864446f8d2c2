#include "lib/transport/address_list.h"

#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "lib/util/owned.h"

namespace kelv {
namespace {

using AddrInfoPtr = std::unique_ptr<addrinfo, FnDeleter<freeaddrinfo>>;

constexpr size_t NUMERIC_HOST_SIZE = 64;

// The port field of an IPv4 or IPv6 address; null for any other family.
in_port_t* portField(sockaddr_storage& address) {
  switch (address.ss_family) {
    case AF_INET:
      return &reinterpret_cast<sockaddr_in*>(&address)->sin_port;
    case AF_INET6:
      return &reinterpret_cast<sockaddr_in6*>(&address)->sin6_port;
    default:
      return nullptr;
  }
}

void setPort(sockaddr_storage& address, uint16_t port) {
  if (in_port_t* field = portField(address)) *field = htons(port);
}

sockaddr_storage copyResult(const addrinfo& entry) {
  sockaddr_storage address = {};
  const size_t size = std::min<size_t>(entry.ai_addrlen, sizeof address);
  std::memcpy(&address, entry.ai_addr, size);
  setPort(address, 0);
  return address;
}

}  // namespace

Status AddressList::Lookup(const std::string& host, int family, AddressList* out) {
  out->addresses.clear();
  addrinfo hints = {};
  hints.ai_flags = AI_ADDRCONFIG | AI_V4MAPPED;
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* results = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &results);
  if (rc == EAI_SYSTEM) return Status::FromErrno(StatusCode::SOCKET_ERROR, errno);
  if (rc != 0) return Status(StatusCode::DNS_ERROR, gai_strerror(rc));
  AddrInfoPtr owned(results);
  for (const addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
    out->Append(copyResult(*entry));
  }
  return Status();
}

sockaddr_storage AddressList::Choose(uint16_t port, int index) const {
  if (addresses.empty()) {
    sockaddr_storage empty = {};
    empty.ss_family = AF_UNSPEC;
    return empty;
  }
  // Unsigned so that any index, even a negative one, picks an entry.
  const uint64_t slot = static_cast<uint64_t>(index) % addresses.size();
  sockaddr_storage chosen = addresses[slot];
  setPort(chosen, port);
  return chosen;
}

bool AddressList::SameAddress(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) return false;
  return std::memcmp(&a, &b, Length(a)) == 0;
}

std::string AddressList::NumericName(const sockaddr_storage& address) {
  char host[NUMERIC_HOST_SIZE];
  const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&address), Length(address), host,
                             sizeof host, nullptr, 0, NI_NUMERICHOST);
  return rc == 0 ? std::string(host) : std::string();
}

socklen_t AddressList::Length(const sockaddr_storage& address) {
  switch (address.ss_family) {
    case AF_INET:
      return sizeof(sockaddr_in);
    case AF_INET6:
      return sizeof(sockaddr_in6);
    default:
      return 0;
  }
}

}  // namespace kelv
