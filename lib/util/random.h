#pragma once

#include <cstdint>

namespace kelv {

// One thread's minimal-standard generator (multiplier 48271, modulus 2^31 - 1).
struct RandomState {
  uint32_t lcgState = 1;
  int32_t defaultLow = 0;
  int32_t defaultHigh = 2147483647;
};

// Seeds from the system's random device.
void randomInit(RandomState& state);
// Seeds from a given value, by the same rule as randomInit: equal seeds, equal sequences.
void randomSeed(RandomState& state, uint32_t seed);
// A uniform integer from low to high inclusive (low <= high).
int32_t randomInRange(RandomState& state, int32_t low, int32_t high);

}  // namespace kelv
