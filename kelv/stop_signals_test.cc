#include "kelv/stop_signals.h"

#include <gtest/gtest.h>

#include <csignal>

#include "lib/util/clock.h"

namespace kelv {
namespace {

constexpr int64_t NANOS_PER_MILLI = 1000000;

// A program started with a signal ignored (nohup, a background job of a script) keeps it
// ignored: the run goes on. The other stop signal ends the wait, and stays the answer.
TEST(StopSignals, IgnoredSignalStaysIgnoredAndTheFirstOneIsKept) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGTERM, &ignore, &previous), 0);
  {
    StopSignals signals;
    ASSERT_EQ(raise(SIGTERM), 0);
    EXPECT_EQ(signals.WaitUntil(timeNow() + 100 * NANOS_PER_MILLI), 0);
    EXPECT_EQ(signals.WaitUntil(timeNow() - 1), 0) << "a deadline gone by does not wait";
    ASSERT_EQ(raise(SIGINT), 0);  // blocked: it waits for the call below, the test goes on
    EXPECT_EQ(signals.WaitUntil(timeNow() + 10000 * NANOS_PER_MILLI), SIGINT);
    EXPECT_EQ(signals.WaitUntil(0), SIGINT);
  }
  struct sigaction after {};
  ASSERT_EQ(sigaction(SIGTERM, &previous, &after), 0);
  EXPECT_EQ(after.sa_handler, SIG_IGN) << "restored as it was";
}

}  // namespace
}  // namespace kelv
