// The report page (--html) of real kelv runs against loopback servers, opened in headless
// Chromium: a run, a merge of two runs, runs with errors and with nothing measured, and the
// files that cannot be written.
#include <gtest/gtest.h>

#include <cmath>
#include <future>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_format.h"
#include "absl/strings/strip.h"
#include "kelv/exit_status.h"
#include "kelv/result_output.h"
#include "lib/reporting/html_report.h"
#include "lib/reporting/latency_histogram.h"
#include "lib/reporting/measurement.h"
#include "lib/reporting/result_json.h"
#include "testing/loopback.h"
#include "testing/nginx.h"
#include "testing/report_browser.h"
#include "testing/run_test_util.h"
#include "testing/scratch_dir.h"
#include "nlohmann/json.hpp"

namespace kelv {
namespace {

// The page's tables that carry the text report's lines, under the same labels.
const char* const REPORT_TABLES[] = {"summary-requests", "summary-latency", "summary-host",
                                     "summary-bytes"};
// Nearly all of such a page is the latency histogram's non-empty buckets.
constexpr size_t MAX_TEN_MINUTE_PAGE_BYTES = 768 * 1024;

// The "Label:   value" lines of the text report, by label, up to the error and status code
// blocks (whose headings have no value).
std::map<std::string, std::string> reportLines(const std::string& out) {
  std::map<std::string, std::string> lines;
  bool started = false;
  for (const std::string& line : splitLines(out)) {
    started = started || line.starts_with("Duration:");
    const size_t colon = line.find(':');
    if (!started || colon == std::string::npos) continue;
    const std::string value(absl::StripAsciiWhitespace(line.substr(colon + 1)));
    if (value.empty()) break;
    lines[line.substr(0, colon)] = value;
  }
  return lines;
}

// The page shows every line of the text report, with the same text, and nothing else in
// those tables.
void expectReportFigures(const PageFindings& page, const std::string& out) {
  const std::map<std::string, std::string> report = reportLines(out);
  ASSERT_FALSE(report.empty()) << out;
  size_t rows = 0;
  for (const char* table : REPORT_TABLES) {
    for (const auto& row : page.tables.count(table) ? page.tables.at(table)
                                                    : std::vector<std::vector<std::string>>{}) {
      ++rows;
      ASSERT_EQ(row.size(), 2u) << table;
      const auto line = report.find(row[0]);
      ASSERT_NE(line, report.end()) << table << ": " << row[0];
      EXPECT_EQ(row[1], line->second) << row[0];
    }
  }
  EXPECT_EQ(rows, report.size()) << out;
}

int64_t cellNumber(const PageFindings& page, const std::string& table, const std::string& label) {
  int64_t n = -1;
  EXPECT_TRUE(absl::SimpleAtoi(page.Cell(table, label), &n)) << table << ": " << label;
  return n;
}

// One run of kelv against the URL, writing its JSON beside the page; its output.
SubprocessResult runWithPage(const ScratchDir& dir, const std::string& name,
                             std::vector<std::string> args) {
  args.insert(args.end(), {"--json", dir.File(name + ".json"), "--html", dir.File(name + ".html")});
  return runKelv(args);
}

std::vector<PageFindings> inspect(const ScratchDir& dir, const std::vector<std::string>& names) {
  std::vector<std::string> pages;
  for (const std::string& name : names) pages.push_back(dir.File(name + ".html"));
  return inspectReportPages(pages, dir.Path());
}

struct DrawnRun {
  SubprocessResult run;
  PageFindings page;
};

// A successful run with its page, which must be drawn offline, with data in every chart and
// the figures of the run's own report.
DrawnRun drawnRun(const ScratchDir& dir, const std::string& name,
                  const std::vector<std::string>& args) {
  DrawnRun drawn{runWithPage(dir, name, args), {}};
  EXPECT_EQ(drawn.run.exitStatus, EXIT_STATUS_OK) << drawn.run.err;
  std::vector<PageFindings> found = inspect(dir, {name});
  if (found.size() != 1) {
    ADD_FAILURE() << name << ": " << found.size() << " pages found";
    return drawn;
  }
  drawn.page = std::move(found.front());
  expectDrawnOffline(drawn.page);
  expectEveryChartDrawn(drawn.page);
  expectReportFigures(drawn.page, drawn.run.out);
  return drawn;
}

TEST(KelvHtml, ARunsPageIsDrawnOfflineWithTheFiguresOfItsReport) {
  NginxServer nginx;
  ASSERT_TRUE(nginx.ok()) << nginx.Error();
  ScratchDir dir("kelv-html-run");
  const DrawnRun drawn =
      drawnRun(dir, "run", {"-c", "4", "-K", "1", "-w", "1", "-d", "3", nginx.HttpUrl()});
  const PageFindings& page = drawn.page;
  const std::string json = readWholeFile(dir.File("run.json"));
  // The page holds the very result that --json wrote.
  EXPECT_EQ(readWholeFile(dir.File("run.html")), htmlReportPage(json));
  const nlohmann::json result = nlohmann::json::parse(json);
  EXPECT_EQ(cellNumber(page, "summary-requests", "Successful requests"),
            result["counts"]["successful"].get<int64_t>());
  EXPECT_EQ(page.Cell("summary-latency", "99% latency"),
            absl::StrFormat("%.3f milliseconds",
                            result["latency"]["percentiles"]["99"].get<double>()));
  EXPECT_EQ(page.Cell("summary-settings", "URL"), nginx.HttpUrl());
  EXPECT_TRUE(page.notices.empty());
  // Successful and errors per second, each at the warm-up's tick and the measured period's.
  EXPECT_EQ(page.charts.at("throughput").paths, 2);
  EXPECT_GE(page.charts.at("throughput").points, 4);
}

// The leading number of a cell such as "1.234 milliseconds".
double cellFigure(const PageFindings& page, const std::string& table, const std::string& label) {
  double figure = -1;
  const std::string cell = page.Cell(table, label);
  EXPECT_TRUE(absl::SimpleAtod(cell.substr(0, cell.find(' ')), &figure)) << table << ": " << label;
  return figure;
}

TEST(KelvHtml, ARatePagePutsTheServiceTimeBesideTheCorrectedLatency) {
  NginxServer nginx;
  ASSERT_TRUE(nginx.ok()) << nginx.Error();
  ScratchDir dir("kelv-html-rate");
  const DrawnRun drawn = drawnRun(
      dir, "rate", {"-R", "200", "-c", "4", "-K", "1", "-w", "1", "-d", "3", nginx.HttpUrl()});
  const PageFindings& page = drawn.page;
  const std::map<std::string, double> report = parseTextReport(drawn.run.out);
  EXPECT_EQ(page.charts.at("spectrum").paths, 2);  // corrected latency and service time
  EXPECT_DOUBLE_EQ(cellFigure(page, "summary-service-time", "99%"),
                   report.at("99% service time"));
  EXPECT_DOUBLE_EQ(cellFigure(page, "summary-rate", "Target rate"), 200);
  EXPECT_DOUBLE_EQ(cellFigure(page, "summary-rate", "Unsent at end"), report.at("Unsent at end"));
}

TEST(KelvHtml, AMergedPageHasASeriesForEachRunAndTheirSum) {
  NginxServer nginx;
  ASSERT_TRUE(nginx.ok()) << nginx.Error();
  ScratchDir dir("kelv-html-merge");
  const std::vector<std::string> args = {"-c", "2", "-K", "1", "-d", "2", nginx.HttpUrl()};
  auto first = std::async(std::launch::async, [&] { return runWithPage(dir, "a", args); });
  const SubprocessResult second = runWithPage(dir, "b", args);
  ASSERT_EQ(first.get().exitStatus, EXIT_STATUS_OK);
  ASSERT_EQ(second.exitStatus, EXIT_STATUS_OK) << second.err;
  const SubprocessResult merge = runKelv({"--merge", "--html", dir.File("merged.html"),
                                          dir.File("a.json"), dir.File("b.json")});
  ASSERT_EQ(merge.exitStatus, EXIT_STATUS_OK) << merge.err;
  const std::vector<PageFindings> found = inspect(dir, {"a", "b", "merged"});
  ASSERT_EQ(found.size(), 3u);
  const PageFindings& merged = found[2];
  expectDrawnOffline(merged);
  expectEveryChartDrawn(merged);
  expectReportFigures(merged, merge.out);
  EXPECT_EQ(merged.title, "kelv report: 2 runs merged");
  EXPECT_EQ(merged.tables.at("summary-merged").size(), 2u);
  EXPECT_EQ(merged.charts.at("throughput").paths, 6);  // each run and the sum, twice
  const std::string successful = "Successful requests";
  EXPECT_EQ(cellNumber(merged, "summary-requests", successful),
            cellNumber(found[0], "summary-requests", successful) +
                cellNumber(found[1], "summary-requests", successful));
}

// A run whose every connect is refused, and a run whose measured period is cut to nothing by
// a signal in the warm-up: both pages are drawn and say what happened.
TEST(KelvHtml, ErrorsAndAnEmptyRunAreShown) {
  ScratchDir dir("kelv-html-errors");
  const std::string refusedUrl = absl::StrCat("http://127.0.0.1:", pickFreeLoopbackPort(), "/");
  const SubprocessResult refused =
      runWithPage(dir, "refused", {"-c", "2", "-K", "1", "-d", "1", refusedUrl});
  EXPECT_EQ(refused.exitStatus, EXIT_STATUS_NO_SUCCESS) << refused.err;
  const SubprocessResult empty =
      runWithPage(dir, "empty", {"-c", "1", "-K", "1", "-d", "0", refusedUrl});
  EXPECT_EQ(empty.exitStatus, EXIT_STATUS_NO_SUCCESS) << empty.err;
  const std::vector<PageFindings> found = inspect(dir, {"refused", "empty"});
  ASSERT_EQ(found.size(), 2u);

  const PageFindings& errors = found[0];
  expectDrawnOffline(errors);
  expectReportFigures(errors, refused.out);
  EXPECT_TRUE(errors.notices.count("errors"));
  const int64_t socketErrors = cellNumber(errors, "summary-requests", "Socket errors");
  EXPECT_GT(socketErrors, 0);
  EXPECT_EQ(cellNumber(errors, "summary-errors", "refused"), socketErrors);
  EXPECT_GT(errors.charts.at("throughput").points, 0);

  const PageFindings& nothing = found[1];
  expectDrawnOffline(nothing);
  EXPECT_TRUE(nothing.notices.count("empty")) << empty.out;
  for (const auto& [id, chart] : nothing.charts) EXPECT_EQ(chart.points, 0) << id;
}

// A file that cannot be written gives one line with the system's reason and the output
// failure status, after a run and after a merge; the other outputs are still written.
TEST(KelvHtml, APageThatCannotBeWrittenFailsTheOutput) {
  NginxServer nginx;
  ASSERT_TRUE(nginx.ok()) << nginx.Error();
  ScratchDir dir("kelv-html-unwritable");
  const std::string page = dir.File("missing/page.html");
  const std::string expected =
      "kelv: cannot write the report page to " + page + ": No such file or directory\n";
  const SubprocessResult run = runKelv(
      {"-1", "--json", dir.File("one.json"), "--html", page, nginx.HttpUrl()});
  EXPECT_EQ(run.exitStatus, EXIT_STATUS_OUTPUT_FAILED);
  EXPECT_EQ(run.err, expected);
  EXPECT_EQ(reportLines(run.out)["Successful requests"], "1");
  const SubprocessResult merge =
      runKelv({"--merge", "-S", "--html", page, dir.File("one.json")});
  EXPECT_EQ(merge.exitStatus, EXIT_STATUS_OUTPUT_FAILED);
  EXPECT_EQ(merge.err, expected);
  const std::vector<std::string> csv = splitLines(merge.out);
  ASSERT_EQ(csv.size(), 1u) << merge.out;
  EXPECT_EQ(parseCsvLine(csv[0])[7], "1");  // the successful count
}

// The latencies of ten minutes at 20,000 responses a second: around half a millisecond,
// spread over three orders of magnitude, with one in a hundred in a tail of up to 2 seconds.
LatencyHistogram longRunLatencies() {
  constexpr int RESPONSES = 12'000'000;
  constexpr double TAIL_FRACTION = 0.01;
  std::mt19937_64 random(1);
  std::lognormal_distribution<double> body(std::log(500'000.0), 1.2);
  std::uniform_real_distribution<double> tail(std::log(1e7), std::log(2e9));
  std::bernoulli_distribution inTail(TAIL_FRACTION);
  LatencyHistogram h;
  for (int i = 0; i < RESPONSES; ++i) {
    h.Record(static_cast<int64_t>(inTail(random) ? std::exp(tail(random)) : body(random)));
  }
  return h;
}

// A run of ten minutes has one timeline entry per 5-second tick and a CPU sample of every
// series at each; its page stays well under a megabyte.
TEST(KelvHtml, ATenMinuteRunsPageStaysSmall) {
  constexpr int TICK_SECONDS = 5;
  constexpr int WARMUP_SECONDS = 30;
  constexpr int SECONDS = 600;
  Measurement m;
  m.settings.url = "http://127.0.0.1:8080/";
  m.settings.durationSeconds = SECONDS;
  m.settings.warmupSeconds = WARMUP_SECONDS;
  m.counts.elapsedSeconds = SECONDS;
  m.latencies = longRunLatencies();
  m.counts.attempted = m.counts.successful = static_cast<int64_t>(m.latencies.Count());
  HostFigures& host = m.host;
  for (int t = TICK_SECONDS; t <= WARMUP_SECONDS + SECONDS; t += TICK_SECONDS) {
    const double busy = 0.3 + (t % 7) / 31.0;  // many digits, as measured figures have
    TimelineEntry e{.warmup = t <= WARMUP_SECONDS, .seconds = t + 0.000123 * t,
                    .responses = 123456, .successfulPerSecond = 24691.2 + busy,
                    .unsuccessfulPerSecond = busy, .errorsPerSecond = busy,
                    .latency50 = busy, .latency90 = 2 * busy, .latency99 = 3 * busy,
                    .latencyMax = 40 * busy, .clientCpu = busy, .remoteCpu = busy,
                    .remoteHostCpu = busy, .remoteProcessCpu = busy};
    m.timeline.push_back(e);
    for (std::vector<double>* series :
         {&host.clientCpuSamples, &host.remoteCpuSamples1, &host.remoteCpuSamples2,
          &host.remoteHost1.hostCpuSamples, &host.remoteHost1.busiestCpuSamples,
          &host.remoteHost1.processCpuSamples, &host.remoteHost2.hostCpuSamples,
          &host.remoteHost2.busiestCpuSamples, &host.remoteHost2.processCpuSamples}) {
      series->push_back(busy);
    }
  }
  const std::string json = finalResultJson(m);
  const ResultReading reading = readResultJson(json);
  ASSERT_TRUE(reading.measurement) << reading.error;
  EXPECT_EQ(reading.measurement->timeline.size(), m.timeline.size());
  EXPECT_EQ(reading.measurement->latencies, m.latencies);
  const size_t bytes = htmlReportPage(json).size();
  RecordProperty("ten_minute_page_bytes", static_cast<int>(bytes));
  EXPECT_LT(bytes, MAX_TEN_MINUTE_PAGE_BYTES);
}

}  // namespace
}  // namespace kelv
