// The report page in a real browser (headless Chromium), fed with results of every kind: a
// single run, a merged one, rate mode, a run with errors and an empty one.
#include "lib/reporting/html_report.h"

#include <gtest/gtest.h>

#include <string>

#include "absl/strings/match.h"
#include "absl/strings/str_format.h"
#include "absl/strings/str_join.h"
#include "lib/reporting/latency_histogram.h"
#include "lib/util/files.h"
#include "testing/report_browser.h"
#include "testing/scratch_dir.h"
#include "testing/subprocess.h"

namespace kelv {
namespace {

constexpr char MILLISECONDS[] = " milliseconds";
constexpr double NANOS_PER_MILLI = 1e6;

PageFindings renderJson(const ScratchDir& dir, const std::string& name, const std::string& json) {
  const std::string page = dir.File(name + ".html");
  EXPECT_TRUE(replaceFile(page, htmlReportPage(json)).ok());
  std::vector<PageFindings> found = inspectReportPages({page}, dir.Path());
  return found.empty() ? PageFindings() : found.front();
}

// The page of a result file of testing/results, as the browser found it.
PageFindings renderResult(const ScratchDir& dir, const std::string& name) {
  const std::string json = readWholeFile(sourcePath("testing/results/" + name + ".json"));
  EXPECT_NE(json, "") << name;
  return renderJson(dir, name, json);
}

// A result that holds nothing but a histogram and the percentiles the program computes from it.
std::string histogramResult(const LatencyHistogram& h, const std::vector<int64_t>& percentiles) {
  const auto ms = [](int64_t nanos) { return absl::StrFormat("%.6f", nanos / NANOS_PER_MILLI); };
  std::vector<std::string> buckets;
  for (const auto& [index, n] : h.ToParts().buckets) {
    buckets.push_back(absl::StrFormat("[%d,%d]", index, n));
  }
  return absl::StrFormat(
      R"({"format":"kelv-result","formatVersion":1,"measured":{"seconds":1},)"
      R"("counts":{"attempted":%d},"timeline":[],"latency":{"maximum":%s,)"
      R"("percentiles":{"50":%s,"90":%s,"99":%s},"histogram":{"subBucketBits":%d,)"
      R"("count":%d,"minNanos":%d,"maxNanos":%d,"buckets":[%s]}}})",
      h.Count(), ms(h.Max()), ms(percentiles[0]), ms(percentiles[1]), ms(percentiles[2]),
      LatencyHistogram::SUB_BUCKET_BITS, h.Count(), h.Min(), h.Max(), absl::StrJoin(buckets, ","));
}

// The spectrum, drawn from the histogram's buckets, says what the report's figures say.
void expectSpectrumAgrees(const PageFindings& page) {
  SCOPED_TRACE(page.path);
  const std::string table = "summary-latency";
  for (const char* p : {"50", "90", "99"}) {
    EXPECT_EQ(page.Cell("spectrum-values", std::string(p) + " %") + MILLISECONDS,
              page.Cell(table, std::string(p) + "% latency"));
  }
  EXPECT_EQ(page.Cell("spectrum-values", "100 % (maximum)") + MILLISECONDS,
            page.Cell(table, "Maximum latency"));
}

// The page reads the buckets by the histogram's own layout: samples from a microsecond to
// seconds, where a bucket is half a millisecond wide, and on the edges of bucket ranges.
TEST(HtmlReport, SpectrumReadsTheBucketsAsTheHistogramLaysThemOut) {
  LatencyHistogram h;
  for (double v = 1000; v < 1e10; v *= 1.008) h.Record(static_cast<int64_t>(v));
  for (int shift = 11; shift < 36; ++shift) {
    for (int64_t edge : {(int64_t{1} << shift) - 1, int64_t{1} << shift}) h.Record(edge);
  }
  const std::vector<double> percents = {50, 90, 99, 99.9};
  const std::vector<int64_t> expected = h.ValuesAtPercentiles(percents);
  ScratchDir dir("kelv-html");
  const PageFindings page = renderJson(dir, "spread", histogramResult(h, expected));
  expectDrawnOffline(page);
  expectSpectrumAgrees(page);
  EXPECT_EQ(page.Cell("spectrum-values", "99.9 %"),
            absl::StrFormat("%.3f", expected[3] / NANOS_PER_MILLI));
  EXPECT_GT(page.charts.at("spectrum").points, 0);
}

TEST(HtmlReport, SingleRunDrawsEveryChartOffline) {
  ScratchDir dir("kelv-html");
  const PageFindings page = renderResult(dir, "single");
  expectDrawnOffline(page);
  expectEveryChartDrawn(page);
  expectSpectrumAgrees(page);
  EXPECT_EQ(page.Cell("summary-requests", "Successful requests"), "1500000");
  EXPECT_EQ(page.Cell("summary-host", "Remote process"), "nginx");
  EXPECT_EQ(page.charts.at("throughput").paths, 2);  // successful and errors
  EXPECT_EQ(page.charts.at("latency").paths, 4);     // 50 %, 90 %, 99 % and maximum
  EXPECT_TRUE(page.notices.empty());
}

TEST(HtmlReport, MergedRunsGetASeriesEachAndTheirSum) {
  ScratchDir dir("kelv-html");
  const PageFindings page = renderResult(dir, "merged");
  expectDrawnOffline(page);
  expectEveryChartDrawn(page);
  expectSpectrumAgrees(page);
  EXPECT_EQ(page.charts.at("throughput").paths, 6);  // two runs and the sum, twice
  EXPECT_TRUE(absl::StrContains(page.charts.at("throughput").hover, "all runs successful"))
      << page.charts.at("throughput").hover;
  EXPECT_EQ(page.charts.at("latency").paths, 8);
  EXPECT_EQ(page.tables.at("summary-merged").size(), 2u);
  EXPECT_EQ(page.title, "kelv report: 2 runs merged");
}

TEST(HtmlReport, RateModeDrawsTheServiceTimeBesideTheCorrectedLatency) {
  ScratchDir dir("kelv-html");
  const PageFindings page = renderResult(dir, "rate");
  expectDrawnOffline(page);
  expectEveryChartDrawn(page);
  expectSpectrumAgrees(page);
  EXPECT_EQ(page.charts.at("spectrum").paths, 2);
  EXPECT_EQ(page.charts.at("latency").paths, 6);
  EXPECT_EQ(page.Cell("summary-service-time", "99%"),
            page.Cell("spectrum-values", "99 %", 2) + MILLISECONDS);
  EXPECT_EQ(page.Cell("summary-rate", "Unsent at end"), "3");
}

// The run's name holds markup meant to end the data's script element and run a script of its
// own; the page must show it as text.
TEST(HtmlReport, ErrorsAreShownAndNoStringEndsTheData) {
  ScratchDir dir("kelv-html");
  const PageFindings page = renderResult(dir, "errors");
  expectDrawnOffline(page);
  expectEveryChartDrawn(page);
  const std::string name = "</script><script>document.title='x'</script><!--<script>";
  EXPECT_EQ(page.Cell("summary-settings", "Name"), name);
  EXPECT_TRUE(absl::StrContains(page.title, name)) << page.title;
  EXPECT_EQ(page.Cell("summary-errors", "timeout"), "20");
  EXPECT_EQ(page.Cell("summary-errors", "reset"), "5");
  EXPECT_EQ(page.Cell("summary-errors", "parse"), "1");
  EXPECT_EQ(page.tables.at("summary-errors").size(), 3u);  // the kinds that occurred
  EXPECT_EQ(page.Cell("summary-status-codes", "404"), "60");
  EXPECT_EQ(page.Cell("summary-status-codes", "503"), "40");
  EXPECT_TRUE(page.notices.count("errors"));
}

TEST(HtmlReport, AnEmptyRunGivesAPageThatSaysSo) {
  ScratchDir dir("kelv-html");
  const PageFindings page = renderResult(dir, "empty");
  expectDrawnOffline(page);
  EXPECT_TRUE(page.notices.count("empty"));
  for (const auto& [id, chart] : page.charts) EXPECT_EQ(chart.points, 0) << id;
  EXPECT_EQ(page.Cell("summary-requests", "Attempted requests"), "0");
}

}  // namespace
}  // namespace kelv
