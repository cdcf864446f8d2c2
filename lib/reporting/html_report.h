#pragma once

#include <string>
#include <string_view>

namespace kelv {

// The report page of a result: one self-contained HTML file (style sheet, scripts and data
// inline; it fetches nothing) that draws the result given as its JSON text. Every "<" of that
// text is written as \u003c, which JSON reads back as the same character and which no string
// of a result can turn into the end of the script element that holds it.
std::string htmlReportPage(std::string_view resultJson);

}  // namespace kelv
