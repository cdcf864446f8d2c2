#include "lib/reporting/result_json.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "absl/strings/match.h"
#include "nlohmann/json.hpp"

namespace kelv {
namespace {

constexpr ResultAuthor AUTHOR{"9.9", "0123456789abcdef0123456789abcdef01234567"};

// A measurement with every member set, each to a value of its own. CPU and memory fractions
// pass through percent; these survive that exactly, as whole milliseconds survive the times.
Measurement everyMember() {
  Measurement m;
  m.settings = RunSettings{"", "urls.txt", "PUT", 12, 3, 30, 5, false, 7, 0.5, 0, "run \"a\"",
                           true, "127.0.0.1:7777", "[::1]:7778", "nginx"};
  m.counts.attempted = 4;
  m.counts.successful = 3;
  m.counts.unsuccessful = 1;
  m.counts.socketErrors = 5;
  m.counts.connectionsOpened = 6;
  m.counts.bytesWritten = 7000;
  m.counts.bytesRead = 8000;
  m.counts.elapsedSeconds = 30.25;
  m.counts.errors[static_cast<size_t>(ErrorKind::TIMEOUT)] = 2;
  m.counts.errors[static_cast<size_t>(ErrorKind::PARSE)] = 3;
  m.counts.statusCodes[200] = 3;
  m.counts.statusCodes[503] = 1;
  for (int64_t nanos : {int64_t{1'000}, int64_t{250'000}, int64_t{3'000'000}, int64_t{90'000'000'000}}) m.latencies.Record(nanos);
  ScheduleFigures& schedule = m.schedule.emplace();
  schedule.rate = RateFigures{200, 187.5, 6000, 5990, 12, 3.25, 10, 7};
  schedule.serviceTimes.Record(250'000);
  schedule.sendLags.Record(3'250'000);
  m.rates = Rates{0.125, 1.5, 2.75};
  m.host.clientCpuSamples = {0.25, 0.5};
  m.host.clientMemory = 0.125;
  m.host.remoteCpuSamples2 = {0.75};
  m.host.remoteMemory2 = 0.5;
  m.host.remoteHost2 = RemoteHostFigures{{0.5}, {1.0}, {1.25}, 10.5};
  TimelineEntry tick{true, 5.5, 3, 0.5, 0.25, 0.125, 1.5, 2.5, 3.5, 4.5, 0.25, std::nullopt,
                     0.5, 1.5, 1};
  m.timeline = {tick, TimelineEntry{}};
  m.timeline[1].seconds = 10;
  m.runStartWall = 1'796'821'195'000'000'000;
  m.measuredStartWall = 1'796'821'200'123'000'000;
  m.measuredEndWall = 1'796'821'230'373'000'000;
  m.stopSignal = SIGTERM;
  m.merged = {MergedRun{"a.json", m.settings, m.runStartWall, m.measuredStartWall,
                        m.measuredEndWall, 30.25, SIGINT}};
  return m;
}

TEST(ResultJson, MeasurementSurvivesTheRoundTrip) {
  for (const Measurement& written : {everyMember(), Measurement()}) {
    const std::string text = resultJson(written, AUTHOR);
    const ResultReading read = readResultJson(text);
    ASSERT_TRUE(read.measurement) << read.error;
    EXPECT_TRUE(*read.measurement == written) << text << "\nread back as\n"
                                              << resultJson(*read.measurement, AUTHOR);
  }
}

// The summaries, which the reader does not take back, are the report's figures.
TEST(ResultJson, SummariesAreTheFiguresOfTheReport) {
  const Measurement m = everyMember();
  const Results figures = figuresOf(m);
  const std::string text = resultJson(m, AUTHOR);
  EXPECT_EQ(text.find('\n'), text.size() - 1);
  const auto result = nlohmann::json::parse(text);
  const auto& latency = result["latency"];
  EXPECT_EQ(latency["average"], figures.averageLatency);
  EXPECT_EQ(latency["stdDev"], figures.latencyStdDev);
  EXPECT_EQ(latency["minimum"], figures.latencyPercent[0]);
  EXPECT_EQ(latency["maximum"], figures.latencyPercent[100]);
  for (int p : {50, 75, 90, 95, 98, 99, 100}) {
    EXPECT_EQ(latency["percentiles"][std::to_string(p)], figures.latencyPercent[p]) << p;
  }
  EXPECT_EQ(latency["percentiles"]["99.9"], figures.latencyTail[0]);
  EXPECT_EQ(latency["percentiles"]["99.99"], figures.latencyTail[1]);
  EXPECT_EQ(result["throughput"], m.rates.throughput);
  EXPECT_EQ(result["bandwidth"]["receiveMegabitsPerSecond"], m.rates.receiveBandwidth);
  EXPECT_EQ(result["host"]["clientCpu"]["average"], 37.5);
  EXPECT_EQ(result["host"]["monitors"][0]["hostCpu"]["busiestMax"], 100.0);
  EXPECT_EQ(result["kelvVersion"], AUTHOR.kelvVersion);
}

TEST(ResultJson, RefusesWhatIsNotAResultOfThisVersion) {
  const std::string valid = resultJson(everyMember(), AUTHOR);
  std::string otherVersion = valid;
  otherVersion.replace(otherVersion.find("\"formatVersion\":1"), 17, "\"formatVersion\":2");
  std::string noCounts = valid;
  noCounts.replace(noCounts.find("\"counts\""), 8, "\"kounts\"");
  std::string badBucket = valid;
  badBucket.replace(badBucket.find("\"buckets\":[["), 12, "\"buckets\":[[999999,1],[");
  const std::pair<std::string, std::string> refused[] = {
      {"{\"format\":", "not JSON"},
      {"[1,2]", "not a kelv result"},
      {"{\"format\":\"other\",\"formatVersion\":1}", "not a kelv result"},
      {otherVersion, "format version 2, but this kelv reads version 1"},
      {noCounts, "\"counts\" is missing"},
      {badBucket, "histogram"},
  };
  for (const auto& [text, reason] : refused) {
    const ResultReading read = readResultJson(text);
    EXPECT_FALSE(read.measurement) << text;
    EXPECT_TRUE(absl::StrContains(read.error, reason)) << read.error;
    EXPECT_EQ(read.error.find('\n'), std::string::npos) << read.error;
  }
}

}  // namespace
}  // namespace kelv
