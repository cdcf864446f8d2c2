#include "kelv/result_output.h"

#include <iostream>

#include "kelv/version.h"
#include "lib/reporting/measurement.h"
#include "lib/reporting/report.h"
#include "lib/reporting/result_json.h"
#include "lib/util/files.h"
#include "lib/util/source_revision.h"

namespace kelv {

std::string finalResultJson(const Measurement& measurement) {
  return resultJson(measurement, ResultAuthor{VERSION_TEXT, SOURCE_REVISION});
}

bool writeResults(const Measurement& measurement, const Settings& settings) {
  if (settings.csvOutput) {
    printCsvLine(std::cout, measurement);
  } else if (!settings.JsonOnStandardOutput()) {
    printTextReport(std::cout, measurement);
  }
  if (settings.jsonPath.empty()) return true;
  const std::string json = finalResultJson(measurement);
  if (settings.JsonOnStandardOutput()) {
    std::cout << json;
    return true;
  }
  const Status written = replaceFile(settings.jsonPath, json);
  if (!written.ok()) {
    std::cerr << "kelv: cannot write the result to " << settings.jsonPath << ": "
              << written.message << std::endl;
  }
  return written.ok();
}

}  // namespace kelv
