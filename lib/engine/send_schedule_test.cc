// The send schedule: the slots of all connections make one even stream, and the count of
// slots due before an instant agrees with the due times, which the rate accounting relies on.

#include "lib/engine/send_schedule.h"

#include <gtest/gtest.h>

#include <set>

namespace kelv {
namespace {

TEST(SendSchedule, ConnectionsOverThreadsTakeEverySlotOnce) {
  // 10 connections over 3 threads (shares 4, 3, 3), at 7 requests per second.
  const SendSchedule schedule(1'000'000'000, 7.0, 10);
  const int shares[] = {4, 3, 3};
  std::set<int64_t> dues;
  for (int thread = 0; thread < 3; ++thread) {
    for (int local = 0; local < shares[thread]; ++local) {
      const int32_t g = globalConnectionIndex(local, thread, 3);
      ASSERT_LT(g, 10);
      for (int64_t k = 0; k < 50; ++k) dues.insert(schedule.DueTime(g, k));
    }
  }
  ASSERT_EQ(dues.size(), 500u);  // no two requests share a due time
  int64_t slot = 0;
  for (int64_t due : dues) {  // slot n is due n / 7 seconds after the start, however far on
    EXPECT_NEAR(static_cast<double>(due - 1'000'000'000), slot * 1e9 / 7.0, 1.0);
    ++slot;
  }
}

TEST(SendSchedule, SlotsDueBeforeAnInstantMatchTheDueTimes) {
  for (double rate : {1.0, 3.0, 2000.0, 99999.7}) {
    const SendSchedule schedule(5'000, rate, 3);
    EXPECT_EQ(schedule.SlotsDueBefore(0), 0);
    EXPECT_EQ(schedule.SlotsDueBefore(5'000), 0);
    EXPECT_EQ(schedule.SlotsDueBefore(5'001), 1);  // slot 0 is due at the start
    for (int64_t n : {1, 2, 999, 1'000'000, 123'456'789}) {
      const int64_t due = schedule.DueTime(static_cast<int32_t>(n % 3), n / 3);
      EXPECT_EQ(schedule.SlotsDueBefore(due), n) << rate << " " << n;
      EXPECT_EQ(schedule.SlotsDueBefore(due + 1), n + 1) << rate << " " << n;
    }
  }
}

}  // namespace
}  // namespace kelv
