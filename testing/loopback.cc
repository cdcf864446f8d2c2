#include "testing/loopback.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "lib/util/unique_fd.h"

namespace kelv {
namespace {

constexpr int RETRY_MILLIS = 20;

sockaddr_storage loopbackAddress(bool ipv6, uint16_t port, socklen_t* length) {
  sockaddr_storage address = {};
  if (ipv6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    v6->sin6_port = htons(port);
    *length = sizeof(sockaddr_in6);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4->sin_port = htons(port);
    *length = sizeof(sockaddr_in);
  }
  return address;
}

}  // namespace

uint16_t pickFreeLoopbackPort(bool ipv6) {
  const UniqueFd probe(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  socklen_t length = 0;
  sockaddr_storage address = loopbackAddress(ipv6, 0, &length);
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  if (!probe.Valid() || bind(probe.Get(), raw, length) != 0 ||
      getsockname(probe.Get(), raw, &length) != 0) {
    return 0;
  }
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
  const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
  return ntohs(ipv6 ? v6->sin6_port : v4->sin_port);
}

bool waitForLoopbackListener(uint16_t port, int timeoutMillis, bool ipv6) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
  socklen_t length = 0;
  const sockaddr_storage address = loopbackAddress(ipv6, port, &length);
  do {
    const UniqueFd probe(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe.Valid() &&
        connect(probe.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(RETRY_MILLIS));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace kelv
