#pragma once

#include <map>
#include <string>
#include <vector>

#include "testing/subprocess.h"

// Support for the black-box tests that run the kelv program and read what it printed.

namespace kelv {

constexpr int RUN_TIMEOUT_MILLIS = 40000;
constexpr int LOG_SETTLE_MILLIS = 5000;

std::vector<std::string> splitLines(const std::string& text);

// Runs build/bin/kelv with the arguments (behind the prefix command, if any); a run that has
// to be killed at the timeout fails the test.
SubprocessResult runKelv(std::vector<std::string> args,
                         const std::vector<std::string>& prefix = {});

// Which monitors the report is to show figures of.
struct RemoteLines {
  bool first = false;    // -M: "Remote CPU average" and its two companions
  bool second = false;   // -X: "Remote 2 CPU average" and its two companions
  bool host = false;     // each of them also with "Remote host CPU average" and its companions
  bool process = false;  // and with "Remote process CPU average" and its companions
};

// The text report: its lines in order, each with the format of its figure, then the error and
// status code blocks when there are any ("error <kind>" and "status <code>" in the map).
// Returns the figures by label; a missing line, or one out of place, fails the test, and so
// do kind counts that do not add up to "Socket errors" and code counts that do not add up to
// "Attempted requests".
std::map<std::string, double> parseTextReport(const std::string& out, RemoteLines remote = {});

// The CSV line's 25 fields, each checked against the format of its column.
std::vector<std::string> parseCsvLine(const std::string& line);
int intField(const std::vector<std::string>& fields, size_t column);

// One progress line: "(elapsed / phase) rate", then " N% cpu" and " N% remote cpu" where
// those figures were above 0 (-1 where left out).
struct ProgressLine {
  int elapsed = 0;
  double rate = 0;
  int cpuPercent = -1;
  int remoteCpuPercent = -1;
};

// The progress lines of a phase (those that start with the prefix and "("); a line of
// another shape fails the test.
std::vector<ProgressLine> progressLines(const std::string& out, const std::string& prefix,
                                        int phase);
std::vector<int> progressElapsed(const std::string& out, const std::string& prefix, int phase);

// Checks a result file against docs/result.schema.json with testing/validate_result.py; a
// fault, or a file that is not there, fails the test.
void expectValidResult(const std::string& path);

}  // namespace kelv
