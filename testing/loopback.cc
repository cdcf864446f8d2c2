#include "testing/loopback.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "testing/loopback_sockets.h"

namespace kelv {
namespace {

constexpr int RETRY_MILLIS = 20;

int familyOf(bool ipv6) { return ipv6 ? AF_INET6 : AF_INET; }

}  // namespace

uint16_t pickFreeLoopbackPort(bool ipv6) {
  sockaddr_storage address;
  if (!bindLoopback(familyOf(ipv6), &address).Valid()) return 0;
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
  const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
  return ntohs(ipv6 ? v6->sin6_port : v4->sin_port);
}

bool waitForLoopbackListener(uint16_t port, int timeoutMillis, bool ipv6) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
  socklen_t length = 0;
  const sockaddr_storage address = loopbackAddress(familyOf(ipv6), port, &length);
  do {
    // A blocking socket: connect itself says whether the listener is there.
    const UniqueFd probe(socket(familyOf(ipv6), SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe.Valid() &&
        connect(probe.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(RETRY_MILLIS));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace kelv
