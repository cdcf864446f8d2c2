#include "lib/reporting/merge.h"

#include <gtest/gtest.h>

namespace kelv {
namespace {

constexpr int64_t SECOND = 1'000'000'000;

// A run of `seconds` whose measured period starts `startSecond` seconds after the epoch's
// first minute, with one tick at its end and one sample per second of its length.
MergeInput run(const std::string& file, int64_t startSecond, double seconds) {
  MergeInput input{file, Measurement()};
  Measurement& m = input.measurement;
  m.runStartWall = startSecond * SECOND;
  m.measuredStartWall = m.runStartWall;
  m.measuredEndWall = m.runStartWall + static_cast<int64_t>(seconds * SECOND);
  m.counts.elapsedSeconds = seconds;
  m.counts.successful = m.counts.attempted = static_cast<int64_t>(seconds);
  m.counts.statusCodes[200] = m.counts.successful;
  for (int i = 0; i < seconds; ++i) m.latencies.Record((startSecond + i) * 1000);
  m.rates.throughput = 1;
  m.settings.connections = 2;
  m.timeline.push_back(TimelineEntry{});
  m.timeline.back().seconds = seconds;
  return input;
}

TEST(Merge, SumsCountsAndRatesOverTheCommonWindow) {
  const MergedMeasurement merged = mergeMeasurements({run("a", 100, 10), run("b", 101, 10)}, "");
  const Measurement& m = merged.measurement;
  EXPECT_EQ(m.counts.attempted, 20);
  EXPECT_EQ(m.counts.statusCodes[200], 20);
  EXPECT_EQ(m.latencies.Count(), 20u);
  EXPECT_EQ(m.settings.connections, 4);
  EXPECT_DOUBLE_EQ(m.rates.throughput, 2);
  EXPECT_EQ(m.measuredStartWall, 101 * SECOND);
  EXPECT_EQ(m.measuredEndWall, 110 * SECOND);
  EXPECT_DOUBLE_EQ(m.counts.elapsedSeconds, 9);
  EXPECT_DOUBLE_EQ(merged.overlap, 0.9);
  ASSERT_EQ(m.merged.size(), 2u);
  EXPECT_EQ(m.merged[1].file, "b");
  // Each tick counted from the earliest start, in time order, with its run.
  ASSERT_EQ(m.timeline.size(), 2u);
  EXPECT_EQ(m.timeline[0].run, 0);
  EXPECT_DOUBLE_EQ(m.timeline[1].seconds, 11);
  EXPECT_EQ(m.timeline[1].run, 1);
}

// Rate runs add their targets, accounting and histograms; a closed-loop run among them
// leaves no schedule to report.
TEST(Merge, RateRunsAddTheirSchedules) {
  std::vector<MergeInput> runs = {run("a", 100, 10), run("b", 100, 10)};
  for (int i = 0; i < 2; ++i) {
    Measurement& m = runs[i].measurement;
    m.settings.rate = 100;
    ScheduleFigures& s = m.schedule.emplace();
    s.rate = RateFigures{100, 99.5 - i, 1000, 995, 3 + i, 2.5 * (i + 1), 5, 0};
    s.serviceTimes.Record(1'000'000);
    s.sendLags.Record(2'000'000 * (i + 1));
  }
  const Measurement both = mergeMeasurements(runs, "").measurement;
  EXPECT_DOUBLE_EQ(both.settings.rate, 200);
  ASSERT_TRUE(both.schedule);
  EXPECT_EQ(both.schedule->rate, (RateFigures{200, 198, 2000, 1990, 7, 5, 10, 0}));
  EXPECT_EQ(both.schedule->serviceTimes.Count(), 2u);
  EXPECT_EQ(both.schedule->sendLags.Max(), runs[1].measurement.schedule->sendLags.Max());
  runs.push_back(run("closed", 100, 10));
  EXPECT_FALSE(mergeMeasurements(runs, "").measurement.schedule);
}

TEST(Merge, RunsThatDoNotOverlapHaveAnEmptyWindow) {
  const MergedMeasurement merged =
      mergeMeasurements({run("a", 100, 10), run("b", 200, 5), run("c", 150, 60)}, "together");
  EXPECT_DOUBLE_EQ(merged.measurement.counts.elapsedSeconds, 0);
  EXPECT_EQ(merged.measurement.measuredStartWall, merged.measurement.measuredEndWall);
  EXPECT_DOUBLE_EQ(merged.overlap, 0);
  EXPECT_EQ(merged.measurement.settings.name, "together");
}

TEST(Merge, OneRunIsItself) {
  const MergeInput one = run("a", 100, 7.5);
  const MergedMeasurement merged = mergeMeasurements({one}, "");
  Measurement expected = one.measurement;
  expected.timeline[0].run = 0;
  Measurement got = merged.measurement;
  got.merged.clear();
  EXPECT_TRUE(got == expected);
  EXPECT_DOUBLE_EQ(merged.overlap, 1);
}

}  // namespace
}  // namespace kelv
