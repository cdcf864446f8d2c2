#pragma once

#include <sys/socket.h>

#include <cstdint>

#include "lib/util/unique_fd.h"

namespace kelv {

// Loopback sockets for tests. Every socket is non-blocking and close-on-exec, and the system
// chooses the port; the address written back carries that port.

// The loopback address of the family with the port; *length gets its size.
sockaddr_storage loopbackAddress(int family, uint16_t port, socklen_t* length);

// A TCP socket bound to 127.0.0.1 (AF_INET) or ::1 (AF_INET6) but not listening: connections
// to its address are refused, and no one else can take the port while it is held. Invalid
// on failure, with errno telling why.
UniqueFd bindLoopback(int family, sockaddr_storage* address);

// The same, listening with a small backlog.
UniqueFd listenOnLoopback(int family, sockaddr_storage* address);

// Whether ::1 can be bound here (some containers run without IPv6).
bool ipv6LoopbackAvailable();

// poll(2) on one descriptor for at most timeoutMillis: the events that arrived, 0 on timeout.
short waitForEvents(int fd, short events, int timeoutMillis);

}  // namespace kelv
