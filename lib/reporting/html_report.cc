#include "lib/reporting/html_report.h"

#include "generated/html_report_page.h"

namespace kelv {
namespace {

constexpr std::string_view ESCAPED_LESS_THAN = "\\u003c";

}  // namespace

std::string htmlReportPage(std::string_view resultJson) {
  std::string page;
  page.reserve(HTML_PAGE_HEAD.size() + resultJson.size() + HTML_PAGE_TAIL.size() + 1024);
  page.append(HTML_PAGE_HEAD);
  // "<" can stand only inside a JSON string, where the escape means the same character.
  for (const char c : resultJson) {
    if (c == '<') {
      page.append(ESCAPED_LESS_THAN);
    } else {
      page.push_back(c);
    }
  }
  page.append(HTML_PAGE_TAIL);
  return page;
}

}  // namespace kelv
