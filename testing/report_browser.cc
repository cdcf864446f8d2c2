#include "testing/report_browser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "absl/strings/match.h"
#include "absl/strings/numbers.h"
#include "absl/strings/str_join.h"
#include "absl/strings/str_split.h"
#include "testing/subprocess.h"

namespace kelv {
namespace {

// selenium is installed for the system interpreter, which another python3 on PATH may not see.
constexpr char SYSTEM_PYTHON[] = "/usr/bin/python3";
constexpr int BROWSER_TIMEOUT_MILLIS = 180000;
constexpr char CHART_PREFIX[] = "chart-";
constexpr char NOTICE_PREFIX[] = "notice-";

std::string withoutPrefix(const std::string& text, const std::string& prefix) {
  return absl::StartsWith(text, prefix) ? text.substr(prefix.size()) : text;
}

int number(const std::string& text) {
  int n = -1;
  EXPECT_TRUE(absl::SimpleAtoi(text, &n)) << text;
  return n;
}

bool nonEmptyFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && info.st_size > 0;
}

std::string pageName(const std::string& path) {
  const std::string base = path.substr(path.rfind('/') + 1);
  return base.substr(0, base.rfind('.'));
}

// One finding line, tab-separated, into the page it belongs to.
void addFinding(PageFindings& page, const std::vector<std::string>& f) {
  const std::string& kind = f[0];
  const auto field = [&f](size_t i) { return i < f.size() ? f[i] : std::string(); };
  if (kind == "state") page.state = field(1);
  if (kind == "title") page.title = field(1);
  if (kind == "console") page.console.push_back(field(1) + " " + field(2));
  if (kind == "request") page.requests.push_back(field(1));
  if (kind == "reference") page.references.push_back(field(1) + " " + field(2));
  if (kind == "notice") page.notices[withoutPrefix(field(1), NOTICE_PREFIX)] = field(2);
  if (kind == "cell") page.tables[field(1)].emplace_back(f.begin() + 2, f.end());
  if (kind != "chart" && kind != "hover" && kind != "print") return;
  ChartFindings& chart = page.charts[withoutPrefix(field(1), CHART_PREFIX)];
  if (kind == "chart") {
    chart.points = number(field(2));
    chart.paths = number(field(3));
    chart.markers = number(field(4));
  }
  if (kind == "hover") chart.hover = field(2);
  if (kind == "print") {
    chart.printed = field(2) == "visible";
    chart.printedTooltip = field(3) == "tooltip";
  }
}

}  // namespace

std::string PageFindings::Cell(const std::string& table, const std::string& label,
                               size_t column) const {
  const auto rows = tables.find(table);
  if (rows == tables.end()) return "";
  for (const auto& row : rows->second) {
    if (!row.empty() && row[0] == label && column < row.size()) return row[column];
  }
  return "";
}

std::vector<PageFindings> inspectReportPages(const std::vector<std::string>& pages,
                                             const std::string& screenshotDir) {
  std::vector<std::string> argv = {SYSTEM_PYTHON, sourcePath("testing/html_page.py"),
                                   screenshotDir};
  argv.insert(argv.end(), pages.begin(), pages.end());
  const SubprocessResult result = Subprocess::Run(argv, BROWSER_TIMEOUT_MILLIS);
  EXPECT_TRUE(result.finished && result.exitStatus == 0) << result.error << result.err;
  std::vector<PageFindings> found;
  for (const absl::string_view line : absl::StrSplit(result.out, '\n', absl::SkipEmpty())) {
    const std::vector<std::string> fields = absl::StrSplit(line, '\t');
    if (fields[0] == "page") {
      found.emplace_back().path = fields.size() > 1 ? fields[1] : "";
      found.back().screenshot =
          nonEmptyFile(screenshotDir + "/" + pageName(found.back().path) + ".png");
    } else if (!found.empty()) {
      addFinding(found.back(), fields);
    }
  }
  EXPECT_EQ(found.size(), pages.size()) << result.out << result.err;
  return found;
}

void expectDrawnOffline(const PageFindings& page) {
  SCOPED_TRACE(page.path);
  EXPECT_EQ(page.state, "drawn");
  EXPECT_TRUE(page.screenshot);
  EXPECT_TRUE(page.console.empty()) << absl::StrJoin(page.console, "\n");
  ASSERT_EQ(page.requests.size(), 1u) << absl::StrJoin(page.requests, "\n");
  EXPECT_TRUE(absl::StartsWith(page.requests[0], "file://")) << page.requests[0];
  EXPECT_TRUE(absl::EndsWith(page.requests[0], page.path.substr(page.path.rfind('/'))));
  for (const std::string& reference : page.references) {
    EXPECT_FALSE(absl::StrContains(reference, "http://") ||
                 absl::StrContains(reference, "https://"))
        << reference;
  }
  EXPECT_EQ(page.charts.size(), 4u);
}

void expectEveryChartDrawn(const PageFindings& page) {
  SCOPED_TRACE(page.path);
  for (const auto& [id, chart] : page.charts) {
    SCOPED_TRACE(id);
    EXPECT_GT(chart.points, 0);
    EXPECT_GT(chart.paths, 0);
    EXPECT_NE(chart.hover, "");
    EXPECT_TRUE(chart.printed);
    EXPECT_FALSE(chart.printedTooltip);
  }
}

}  // namespace kelv
