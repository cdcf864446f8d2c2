#include "kelv/result_output.h"

#include <iostream>
#include <string_view>

#include "kelv/version.h"
#include "lib/reporting/html_report.h"
#include "lib/reporting/measurement.h"
#include "lib/reporting/report.h"
#include "lib/reporting/result_json.h"
#include "lib/util/files.h"
#include "lib/util/source_revision.h"

namespace kelv {
namespace {

// Every output file of a result is written, and refused, the same way: false, with what it
// was, its name and the system's reason on standard error.
bool writeOutputFile(const std::string& path, std::string_view what, std::string_view bytes) {
  const Status written = replaceFile(path, bytes);
  if (!written.ok()) {
    std::cerr << "kelv: cannot write the " << what << " to " << path << ": " << written.message
              << std::endl;
  }
  return written.ok();
}

// --json: the file, or standard output in place of the text report.
bool writeJson(const std::string& json, const Settings& settings) {
  if (settings.jsonPath.empty()) return true;
  if (settings.JsonOnStandardOutput()) {
    std::cout << json;
    return true;
  }
  return writeOutputFile(settings.jsonPath, "result", json);
}

// --html: the page that draws the result's JSON.
bool writeReportPage(const std::string& json, const Settings& settings) {
  if (settings.htmlPath.empty()) return true;
  return writeOutputFile(settings.htmlPath, "report page", htmlReportPage(json));
}

}  // namespace

std::string finalResultJson(const Measurement& measurement) {
  return resultJson(measurement, ResultAuthor{VERSION_TEXT, SOURCE_REVISION});
}

bool writeResults(const Measurement& measurement, const Settings& settings) {
  if (settings.csvOutput) {
    printCsvLine(std::cout, measurement);
  } else if (!settings.JsonOnStandardOutput()) {
    printTextReport(std::cout, measurement);
  }
  if (settings.jsonPath.empty() && settings.htmlPath.empty()) return true;
  const std::string json = finalResultJson(measurement);
  const bool jsonWritten = writeJson(json, settings);
  const bool pageWritten = writeReportPage(json, settings);
  return jsonWritten && pageWritten;
}

}  // namespace kelv
