#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelv {

// The byte counters of one network interface.
struct InterfaceBytes {
  std::string name;
  int64_t received = 0;
  int64_t sent = 0;
};

// The interfaces of a /proc/net/dev text, loopback ("lo") left out.
std::vector<InterfaceBytes> parseNetDev(std::string_view text);

struct NetRates {
  int64_t receivedPerSecond = 0;
  int64_t sentPerSecond = 0;
};

// Bytes per second over the interval, rounded, of every interface in `after`: one that was
// there before counts what its counters grew (all of them when they were reset), one that came
// up in the interval counts all it has; one that went away is left out. No time, no rate.
NetRates netRates(const std::vector<InterfaceBytes>& before,
                  const std::vector<InterfaceBytes>& after, int64_t elapsedTicks,
                  int64_t ticksPerSecond);

}  // namespace kelv
