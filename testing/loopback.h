#pragma once

#include <cstdint>

namespace kelv {

// A loopback port (127.0.0.1, or ::1 when ipv6) that was free a moment ago: bound with port
// 0, read back and released. 0 when no socket could be bound.
uint16_t pickFreeLoopbackPort(bool ipv6 = false);

// Tries to connect to the loopback port every few milliseconds until a connection succeeds
// (true) or timeoutMillis have passed (false).
bool waitForLoopbackListener(uint16_t port, int timeoutMillis, bool ipv6 = false);

}  // namespace kelv
