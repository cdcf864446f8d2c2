#include "lib/util/wall_time.h"

#include <gtest/gtest.h>

namespace kelv {
namespace {

constexpr int64_t SECOND = 1'000'000'000;
constexpr int64_t DAY_2026_12_09 = 1'796'774'400;  // 2026-12-09T00:00:00Z

TEST(WallTime, IsoTimesBothWays) {
  const int64_t at = (DAY_2026_12_09 + 13 * 3600) * SECOND + 123'456'789;
  EXPECT_EQ(isoTimeMillis(at), "2026-12-09T13:00:00.123Z");
  EXPECT_EQ(parseIsoTime("2026-12-09T13:00:00.123456789Z"), at);
  EXPECT_EQ(parseIsoTime("2026-12-09T13:00:00Z"), at - 123'456'789);
  EXPECT_EQ(parseIsoTime("2026-12-09T13:00:00.5Z"), at - 123'456'789 + SECOND / 2);
  EXPECT_EQ(isoTimeMillis(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(parseIsoTime("2028-02-29T00:00:00Z").has_value(), true);
}

TEST(WallTime, EpochSecondsOrIso) {
  EXPECT_EQ(parseWallTime("1796774400"), DAY_2026_12_09 * SECOND);
  EXPECT_EQ(parseWallTime("1796774400.25"), DAY_2026_12_09 * SECOND + SECOND / 4);
  EXPECT_EQ(parseWallTime("2026-12-09T00:00:00Z"), DAY_2026_12_09 * SECOND);
}

TEST(WallTime, RefusesTimesThatAreNotUtcOrDoNotExist) {
  for (const char* bad :
       {"", "2026-12-09", "2026-12-09T13:00:00", "2026-12-09T13:00:00+01:00", "2026-12-09 13:00:00Z",
        "2026-02-30T00:00:00Z", "2027-02-29T00:00:00Z", "2026-12-09T24:00:00Z",
        "2026-12-09T13:60:00Z", "2026-13-01T00:00:00Z", "2026-12-09T13:00:00.Z",
        "2026-12-09T13:00:00.1234567890Z", "2026-12-09T13:00:00Zx", "-5", "12x", "1.", "1e9",
        "99999999999999999999"}) {
    EXPECT_FALSE(parseWallTime(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace kelv
