#pragma once

#include <map>
#include <string>
#include <vector>

namespace kelv {

// What headless Chromium found on one report page (see testing/html_page.py).
struct ChartFindings {
  int points = -1;              // the chart's data-points: the points it drew
  int paths = 0;                // series paths with a drawing
  int markers = 0;              // point markers
  std::string hover;            // the tooltip's text with the pointer over the chart's middle
  bool printed = false;         // the chart shows under the print style sheet
  bool printedTooltip = false;  // ... and so does a tooltip, which it should not
};

struct PageFindings {
  std::string path;
  std::string state;  // "drawn", or "failed" when the page could not draw its result
  std::string title;
  std::vector<std::string> console;             // "<level> <message>"
  std::vector<std::string> requests;            // every URL the page asked for, itself included
  std::vector<std::string> references;          // "<src or href> <value>"
  std::map<std::string, ChartFindings> charts;  // by id: "throughput", "latency", ...
  std::map<std::string, std::string> notices;   // by id: "empty", "errors", ...
  // Rows of cells by table id ("summary-requests", "spectrum-values", ...).
  std::map<std::string, std::vector<std::vector<std::string>>> tables;
  bool screenshot = false;  // a PNG of the whole page was written

  // The cell of the row whose first cell is the label; empty when there is none.
  std::string Cell(const std::string& table, const std::string& label, size_t column = 1) const;
};

// Opens the pages in one headless Chromium, taking a screenshot of each into screenshotDir.
// A browser that cannot start fails the test.
std::vector<PageFindings> inspectReportPages(const std::vector<std::string>& pages,
                                             const std::string& screenshotDir);

// The checks every report page passes: it drew its result, logged nothing to the console,
// fetched nothing but itself and refers to nothing on the network.
void expectDrawnOffline(const PageFindings& page);

// Every chart holds drawn data that the pointer can read, and prints.
void expectEveryChartDrawn(const PageFindings& page);

}  // namespace kelv
