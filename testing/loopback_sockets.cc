#include "testing/loopback_sockets.h"

#include <netinet/in.h>
#include <poll.h>

#include <cerrno>

namespace kelv {
namespace {

constexpr int BACKLOG = 16;

}  // namespace

sockaddr_storage loopbackAddress(int family, uint16_t port, socklen_t* length) {
  sockaddr_storage address = {};
  if (family == AF_INET6) {
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

UniqueFd bindLoopback(int family, sockaddr_storage* address) {
  UniqueFd descriptor(socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!descriptor.Valid()) return descriptor;
  socklen_t length = 0;
  sockaddr_storage local = loopbackAddress(family, 0, &length);
  auto* raw = reinterpret_cast<sockaddr*>(&local);
  if (bind(descriptor.Get(), raw, length) != 0 ||
      getsockname(descriptor.Get(), raw, &length) != 0) {
    const int error = errno;
    descriptor.Reset();
    errno = error;
    return descriptor;
  }
  *address = local;
  return descriptor;
}

UniqueFd listenOnLoopback(int family, sockaddr_storage* address) {
  UniqueFd descriptor = bindLoopback(family, address);
  if (descriptor.Valid() && listen(descriptor.Get(), BACKLOG) != 0) {
    const int error = errno;
    descriptor.Reset();
    errno = error;
  }
  return descriptor;
}

bool ipv6LoopbackAvailable() {
  sockaddr_storage unused;
  return bindLoopback(AF_INET6, &unused).Valid();
}

short waitForEvents(int fd, short events, int timeoutMillis) {
  pollfd entry = {fd, events, 0};
  const int ready = poll(&entry, 1, timeoutMillis);
  return ready > 0 ? entry.revents : 0;
}

}  // namespace kelv
