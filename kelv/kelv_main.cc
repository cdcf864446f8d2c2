#include "kelv/kelv_main.h"

#include <iostream>
#include <string>

#include "kelv/driver.h"
#include "kelv/exit_status.h"
#include "kelv/file_limit.h"
#include "kelv/merge_command.h"
#include "kelv/options.h"
#include "kelv/usage.h"
#include "kelv/version.h"
#include "lib/hoststats/host_stats.h"
#include "lib/reporting/report.h"
#include "lib/targets/target_url.h"

namespace kelv {
namespace {

bool loadUrlFile(const std::string& path) {
  Status status = TargetUrl::LoadFile(path);
  if (!status.ok()) {
    std::cerr << "Error opening URL file: " << status << std::endl;
    return false;
  }
  // The engine needs a target to draw; a file without a complete line gives none.
  if (TargetUrl::List().empty()) {
    std::cerr << "No URLs in URL file \"" << path << '"' << std::endl;
    return false;
  }
  return true;
}

// The argument is a URL, or "@" and the name of a file of URLs.
bool loadTargets(const std::string& argument) {
  if (argument.front() == '@') return loadUrlFile(argument.substr(1));
  Status status = TargetUrl::Add(argument);
  if (!status.ok()) {
    std::cerr << status << std::endl;
    return false;
  }
  return true;
}

// Everything before the run that can still end the program; the exit status when it does.
int handleParseAction(ParseAction action) {
  switch (action) {
    case ParseAction::CSV_HEADER:
      printCsvHeader(std::cout);
      break;
    case ParseAction::HELP:
      printUsage(std::cerr);
      break;
    case ParseAction::VERSION:
      printVersion(std::cout);
      break;
    case ParseAction::USAGE_ERROR:
      printUsage(std::cerr);
      return EXIT_STATUS_USAGE_ERROR;
    case ParseAction::RUN:
    case ParseAction::MERGE:
      break;
  }
  return EXIT_STATUS_OK;
}

}  // namespace

int kelvMain(int argc, char** argv) {
  ParseResult parsed = parseOptions(argc, argv);
  if (parsed.action == ParseAction::MERGE) return runMerge(parsed.settings);
  if (parsed.action != ParseAction::RUN) return handleParseAction(parsed.action);
  Settings& settings = parsed.settings;
  if (!loadTargets(settings.url)) return EXIT_STATUS_START_FAILED;
  // The thread count is known first so that the descriptors of the loops are counted too.
  settings.numThreads = threadCount(settings.numThreads, settings.concurrency, processorCount());
  if (!ensureFileLimit(settings.concurrency, settings.numThreads)) {
    return EXIT_STATUS_START_FAILED;
  }
  if (settings.verbose) printVersion(std::cout);
  return runDriver(settings);
}

}  // namespace kelv
