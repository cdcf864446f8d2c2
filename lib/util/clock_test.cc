#include "lib/util/clock.h"

#include <gtest/gtest.h>

#include <ctime>

namespace kelv {
namespace {

TEST(Clock, ConversionsScaleNanoseconds) {
  EXPECT_DOUBLE_EQ(secondsFromNanos(1500000000), 1.5);
  EXPECT_DOUBLE_EQ(millisFromNanos(1500000), 1.5);
  EXPECT_DOUBLE_EQ(millisFromNanos(-2000000), -2.0);
}

TEST(Clock, MonotonicClockNeverGoesBack) {
  int64_t previous = timeNow();
  for (int i = 0; i < 10000; ++i) {
    const int64_t now = timeNow();
    ASSERT_GE(now, previous);
    previous = now;
  }
}

TEST(Clock, WallClockIsSecondsSinceTheEpoch) {
  const int64_t seconds = wallClockNow() / 1000000000;
  EXPECT_NEAR(static_cast<double>(seconds), static_cast<double>(std::time(nullptr)), 2.0);
}

}  // namespace
}  // namespace kelv
