#include "lib/util/random.h"

#include <random>

namespace kelv {
namespace {

constexpr uint32_t MODULUS = 2147483647;
constexpr uint32_t MULTIPLIER = 48271;
// The generator yields 1 .. MODULUS - 1; one step minus 1 spans 0 .. GENERATOR_RANGE.
constexpr uint32_t GENERATOR_RANGE = MODULUS - 2;

uint32_t nextStep(RandomState& state) {
  state.lcgState = static_cast<uint32_t>(uint64_t{MULTIPLIER} * state.lcgState % MODULUS);
  return state.lcgState - 1;
}

}  // namespace

void randomSeed(RandomState& state, uint32_t seed) {
  state.lcgState = seed % MODULUS;
  if (state.lcgState == 0) state.lcgState = 1;
  state.defaultLow = 0;
  state.defaultHigh = 2147483647;
}

void randomInit(RandomState& state) {
  std::random_device device("default");
  randomSeed(state, static_cast<uint32_t>(device()));
}

int32_t randomInRange(RandomState& state, int32_t low, int32_t high) {
  const uint32_t span = static_cast<uint32_t>(high) - static_cast<uint32_t>(low);
  uint32_t x;
  if (span < GENERATOR_RANGE) {
    // Downscaling: reject the draws above the largest multiple of the bucket count.
    const uint32_t buckets = span + 1;
    const uint32_t scale = GENERATOR_RANGE / buckets;
    const uint32_t past = buckets * scale;
    do {
      x = nextStep(state);
    } while (x >= past);
    x /= scale;
  } else if (span == GENERATOR_RANGE) {
    x = nextStep(state);
  } else {
    // Upscaling: combine a draw of the high part with one step, rejecting overshoot and
    // the wrap-around of the 32-bit sum.
    constexpr uint32_t STEP = GENERATOR_RANGE + 1;
    uint32_t highPart;
    do {
      highPart = STEP * static_cast<uint32_t>(randomInRange(state, 0, static_cast<int32_t>(span / STEP)));
      x = highPart + nextStep(state);
    } while (x > span || x < highPart);
  }
  return static_cast<int32_t>(x + static_cast<uint32_t>(low));
}

}  // namespace kelv
