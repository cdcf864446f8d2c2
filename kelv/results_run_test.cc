// kelv's results as files, against nginx on loopback: --json, --merge of what it wrote, and
// --start-at. Every result a test writes is checked against the schema.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "absl/strings/match.h"
#include "kelv/exit_status.h"
#include "lib/util/clock.h"
#include "lib/util/wall_time.h"
#include "nlohmann/json.hpp"
#include "testing/nginx.h"
#include "testing/run_test_util.h"
#include "testing/scratch_dir.h"
#include "testing/subprocess.h"

namespace kelv {
namespace {

using Json = nlohmann::json;

constexpr double BYTES_PER_MEGABYTE = 1048576.0;
// A figure the report prints with three decimals, against the unrounded one.
constexpr double THREE_DECIMALS = 0.0005 + 1e-9;
constexpr int STOPPED_MILLIS = 12000;
constexpr int STARTED_MILLIS = 20000;

std::string reportOf(const std::string& out) { return out.substr(out.find("Duration:")); }

Json readJson(const std::string& path) {
  return Json::parse(readWholeFile(path), nullptr, /*allow_exceptions=*/false);
}

class KelvResults : public testing::Test {
 protected:
  void SetUp() override {
    NginxOptions options;
    options.accessLog = true;
    options.logTimes = true;
    nginx = std::make_unique<NginxServer>(options);
    ASSERT_TRUE(nginx->ok()) << nginx->Error();
  }

  // A short run that writes its result to `name` as well as printing its report.
  SubprocessResult RunWithJson(const std::string& name) {
    SubprocessResult run =
        runKelv({"-c", "2", "-d", "1", "--json", dir.File(name), nginx->HttpUrl()});
    EXPECT_EQ(run.exitStatus, EXIT_STATUS_OK) << run.err;
    expectValidResult(dir.File(name));
    return run;
  }

  // kelv --merge of the named files with the options after them.
  SubprocessResult Merge(const std::vector<std::string>& names,
                         const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {"--merge"};
    for (const std::string& name : names) args.push_back(dir.File(name));
    args.insert(args.end(), options.begin(), options.end());
    return runKelv(args);
  }

  // The times nginx logged its requests at, in milliseconds since the epoch.
  std::vector<int64_t> LoggedMillis() const {
    std::vector<int64_t> millis;
    std::istringstream log(nginx->AccessLog());
    for (std::string serial, number, status, method, uri, msec;
         log >> serial >> number >> status >> method >> uri >> msec;) {
      millis.push_back(std::llround(std::stod(msec) * 1000));
    }
    return millis;
  }

  ScratchDir dir{"kelv-results"};
  std::unique_ptr<NginxServer> nginx;
};

// The result holds the figures of the run's own report, and the merge of that one result
// prints the same report again: nothing is lost on the way through the file.
TEST_F(KelvResults, JsonHoldsTheReportAndMergingItAloneGivesItBack) {
  const SubprocessResult run = RunWithJson("a.json");
  std::map<std::string, double> figures = parseTextReport(run.out);
  const Json a = readJson(dir.File("a.json"));
  ASSERT_TRUE(a.is_object());
  EXPECT_EQ(figures["Attempted requests"], a["counts"]["attempted"]);
  EXPECT_EQ(figures["Successful requests"], a["counts"]["successful"]);
  EXPECT_EQ(figures["Connections opened"], a["counts"]["connectionsOpened"]);
  EXPECT_EQ(a["statusCodes"]["200"], a["counts"]["successful"]);
  EXPECT_GE(nginx->LoggedRequests(), a["counts"]["attempted"].get<int>());
  EXPECT_NEAR(figures["Duration"], a["measured"]["seconds"], THREE_DECIMALS);
  EXPECT_NEAR(figures["Throughput"], a["throughput"], THREE_DECIMALS);
  const Json& latency = a["latency"];
  EXPECT_NEAR(figures["Average latency"], latency["average"], THREE_DECIMALS);
  EXPECT_NEAR(figures["Minimum latency"], latency["minimum"], THREE_DECIMALS);
  EXPECT_NEAR(figures["Maximum latency"], latency["percentiles"]["100"], THREE_DECIMALS);
  EXPECT_NEAR(figures["Latency std. dev"], latency["stdDev"], THREE_DECIMALS);
  for (const char* p : {"50", "90", "98", "99"}) {
    EXPECT_NEAR(figures[std::string(p) + "% latency"], latency["percentiles"][p], THREE_DECIMALS);
  }
  EXPECT_NEAR(figures["Total bytes sent"],
              a["counts"]["bytesSent"].get<double>() / BYTES_PER_MEGABYTE, 0.005);
  EXPECT_EQ(a["settings"]["url"], nginx->HttpUrl());
  EXPECT_EQ(a["timeline"].back()["phase"], "measured");

  const SubprocessResult merged = Merge({"a.json"});
  EXPECT_EQ(merged.exitStatus, EXIT_STATUS_OK);
  EXPECT_EQ(merged.out, reportOf(run.out));
  EXPECT_EQ(merged.err, "");
  // In place of the report, the merge's own result: the same counts and histogram.
  const SubprocessResult json = Merge({"a.json"}, {"--json", "-"});
  const Json again = Json::parse(json.out, nullptr, false);
  ASSERT_TRUE(again.is_object()) << json.out;
  EXPECT_EQ(again["counts"], a["counts"]);
  EXPECT_EQ(again["latency"]["histogram"], a["latency"]["histogram"]);
  EXPECT_EQ(again["merged"][0]["file"], dir.File("a.json"));
}

// A run with its result on standard output prints nothing else there, progress included.
TEST_F(KelvResults, JsonOnStandardOutputStandsAlone) {
  const SubprocessResult run = runKelv({"-c", "1", "-d", "1", "--json", "-", nginx->HttpUrl()});
  EXPECT_EQ(run.exitStatus, EXIT_STATUS_OK) << run.err;
  ASSERT_TRUE(dir.WriteFile("out.json", run.out));
  expectValidResult(dir.File("out.json"));
  EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << run.out;
  const SubprocessResult both = runKelv({"-S", "--json", "-", nginx->HttpUrl()});
  EXPECT_EQ(both.exitStatus, EXIT_STATUS_USAGE_ERROR);
}

TEST_F(KelvResults, MergedRunsAddUpAndRunsApartAreWarnedOf) {
  RunWithJson("a.json");
  RunWithJson("b.json");
  const Json a = readJson(dir.File("a.json"));
  const Json b = readJson(dir.File("b.json"));
  const int attempted = a["counts"]["attempted"].get<int>() + b["counts"]["attempted"].get<int>();

  const SubprocessResult text = Merge({"a.json", "b.json"});
  EXPECT_EQ(text.exitStatus, EXIT_STATUS_OK);
  std::map<std::string, double> figures = parseTextReport(text.out);
  EXPECT_EQ(figures["Attempted requests"], attempted);
  EXPECT_EQ(figures["Duration"], 0);  // one ran after the other: no common window
  EXPECT_NEAR(figures["Throughput"], a["throughput"].get<double>() + b["throughput"].get<double>(),
              THREE_DECIMALS * 2);
  EXPECT_TRUE(absl::StartsWith(text.err, "kelv: warning: the measured periods overlap by 0%"))
      << text.err;
  EXPECT_EQ(splitLines(text.err).size(), 1u) << text.err;

  const SubprocessResult csv = Merge({"a.json", "b.json"}, {"-S", "-N", "both"});
  const std::vector<std::string> fields = parseCsvLine(splitLines(csv.out).at(0));
  EXPECT_EQ(fields[0], "both");
  EXPECT_EQ(intField(fields, 4), 4);  // connections of both runs
  EXPECT_EQ(intField(fields, 6), attempted);

  const SubprocessResult json = Merge({"a.json", "b.json"}, {"--json", dir.File("ab.json")});
  EXPECT_EQ(json.exitStatus, EXIT_STATUS_OK);
  expectValidResult(dir.File("ab.json"));
  const Json ab = readJson(dir.File("ab.json"));
  EXPECT_EQ(ab["counts"]["attempted"], attempted);
  EXPECT_EQ(ab["statusCodes"]["200"], attempted);
  EXPECT_EQ(ab["latency"]["histogram"]["count"], attempted);
  EXPECT_EQ(ab["merged"].size(), 2u);
  EXPECT_EQ(ab["timeline"].size(), a["timeline"].size() + b["timeline"].size());

  // A run merged with itself overlaps entirely.
  const SubprocessResult twice = Merge({"a.json", "a.json"});
  EXPECT_EQ(twice.err, "");
  EXPECT_EQ(parseTextReport(twice.out)["Attempted requests"], 2 * a["counts"]["attempted"].get<int>());
}

// The threads connect at the time given, not before; a signal in the wait ends kelv at once.
TEST_F(KelvResults, StartAtWaitsForItsTime) {
  const int64_t startAt = wallClockNow() + 2'500'000'000;
  const std::string at = isoTimeMillis(startAt);
  const SubprocessResult run = runKelv({"-c", "2", "-d", "1", "--start-at", at, nginx->HttpUrl()});
  EXPECT_EQ(run.exitStatus, EXIT_STATUS_OK) << run.err;
  EXPECT_TRUE(absl::StrContains(run.err, "Starting at " + at + "\n")) << run.err;
  const std::vector<int64_t> logged = LoggedMillis();
  ASSERT_FALSE(logged.empty());
  for (int64_t millis : logged) EXPECT_GE(millis, startAt / 1'000'000);

  Subprocess waiting({binaryPath("kelv"), "-d", "1", "--start-at",
                      std::to_string(wallClockNow() / 1'000'000'000 + 600), nginx->HttpUrl()});
  std::string line;
  ASSERT_TRUE(waiting.ReadStderrLine(&line, STARTED_MILLIS));
  EXPECT_TRUE(line.starts_with("Starting at ")) << line;
  waiting.Signal(SIGTERM);
  int status = -1;
  ASSERT_TRUE(waiting.Wait(STOPPED_MILLIS, &status));
  EXPECT_EQ(status, EXIT_STATUS_SIGNAL_BASE + SIGTERM);
  EXPECT_EQ(LoggedMillis().size(), logged.size());
}

TEST(KelvResultsRefused, BadStartTimesAndFilesThatAreNotResults) {
  for (const char* bad : {"13:00", "2026-12-09T13:00:00+01:00", "soon", "2001-01-01T00:00:00Z"}) {
    const SubprocessResult run = runKelv({"--start-at", bad, "http://127.0.0.1:1/"});
    EXPECT_EQ(run.exitStatus, EXIT_STATUS_USAGE_ERROR) << bad;
    EXPECT_TRUE(absl::StartsWith(run.err, "kelv: invalid start time \"") ||
                absl::StartsWith(run.err, "kelv: the start time 2001-01-01T00:00:00.000Z "
                                          "(--start-at) has passed\n"))
        << run.err;
  }
  ScratchDir dir("kelv-refused");
  std::string otherVersion = readWholeFile(sourcePath("testing/results/single.json"));
  otherVersion.replace(otherVersion.find("\"formatVersion\":1"), 17, "\"formatVersion\":7");
  ASSERT_TRUE(dir.WriteFile("v7.json", otherVersion));
  ASSERT_TRUE(dir.WriteFile("half.json", "{\"format\":\"kelv-result\""));
  ASSERT_TRUE(dir.WriteFile("other.json", "{\"format\":\"something else\"}"));
  for (const char* name : {"missing.json", "v7.json", "half.json", "other.json"}) {
    const SubprocessResult merge =
        runKelv({"--merge", sourcePath("testing/results/single.json"), dir.File(name)});
    EXPECT_EQ(merge.exitStatus, EXIT_STATUS_START_FAILED) << name;
    EXPECT_EQ(merge.out, "");
    EXPECT_TRUE(absl::StartsWith(merge.err, "kelv: " + dir.File(name) + ": ")) << merge.err;
    EXPECT_EQ(splitLines(merge.err).size(), 1u) << merge.err;
  }
  EXPECT_EQ(runKelv({"--merge"}).exitStatus, EXIT_STATUS_USAGE_ERROR);
}

}  // namespace
}  // namespace kelv
