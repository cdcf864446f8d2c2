// scripts/kelv-hosts end to end: pdsh's exec module runs two "hosts" on this machine against
// one nginx, and the merged report is checked against what nginx logged and against the two
// runs' own histograms, merged here by the layout the schema describes.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "absl/strings/match.h"
#include "kelv/exit_status.h"
#include "nlohmann/json.hpp"
#include "testing/nginx.h"
#include "testing/run_test_util.h"
#include "testing/scratch_dir.h"
#include "testing/subprocess.h"

namespace kelv {
namespace {

using Json = nlohmann::json;

constexpr int CONNECTIONS_PER_HOST = 2;
constexpr int HOSTS_TIMEOUT_MILLIS = 60000;
constexpr double NANOS_PER_MILLI = 1e6;

// The smallest and largest nanoseconds of a bucket, from the schema's description.
std::pair<int64_t, int64_t> bucketRange(int64_t index, int subBucketBits) {
  const int64_t subBuckets = int64_t{1} << subBucketBits;
  const int64_t shift = std::max<int64_t>(0, index / subBuckets - 1);
  const int64_t lowest = (index - shift * subBuckets) << shift;
  return {lowest, lowest + (int64_t{1} << shift) - 1};
}

// The bucket that holds percentile p of every sample in the histograms together.
int64_t bucketOfPercentile(const std::map<int64_t, uint64_t>& buckets, double p) {
  uint64_t total = 0;
  for (const auto& [index, count] : buckets) total += count;
  const auto rank = static_cast<uint64_t>(static_cast<double>(total) / 100.0 * p);
  uint64_t seen = 0;
  for (const auto& [index, count] : buckets) {
    seen += count;
    if (seen > rank) return index;
  }
  return buckets.rbegin()->first;
}

// Requests nginx logged for one host ("/?h=<host>") within [startMillis, endMillis].
int loggedWithin(const std::string& log, const std::string& host, double startMillis,
                 double endMillis) {
  int count = 0;
  std::istringstream lines(log);
  for (std::string serial, number, status, method, uri, msec;
       lines >> serial >> number >> status >> method >> uri >> msec;) {
    const double millis = std::stod(msec) * 1000;
    if (uri == "/?h=" + host && millis >= startMillis && millis <= endMillis) ++count;
  }
  return count;
}

double wallMillis(const Json& time) {
  std::tm fields{};
  int millis = 0;
  std::istringstream text(time.get<std::string>());
  text >> std::get_time(&fields, "%Y-%m-%dT%H:%M:%S");
  text.ignore(1) >> millis;
  return static_cast<double>(timegm(&fields)) * 1000 + millis;
}

TEST(KelvHosts, MergedReportOfPdshRunsIsWhatNginxServed) {
  NginxOptions options;
  options.accessLog = true;
  options.logTimes = true;
  NginxServer nginx(options);
  ASSERT_TRUE(nginx.ok()) << nginx.Error();
  ScratchDir dir("kelv-hosts");
  // A think time keeps each connection's requests apart, so that an edge of a measured period
  // can cut at most one request of each connection.
  const SubprocessResult run = Subprocess::Run(
      {sourcePath("scripts/kelv-hosts"), "-w", "h1,h2", "-R", "exec", "-l", "4", "-o", dir.Path(),
       "-k", binaryPath("kelv"), "--", "-c", std::to_string(CONNECTIONS_PER_HOST), "-d", "3", "-W",
       "50", nginx.HttpUrl("/?h=%h")},
      HOSTS_TIMEOUT_MILLIS);
  ASSERT_TRUE(run.finished) << run.error;
  ASSERT_EQ(run.exitStatus, EXIT_STATUS_OK) << run.err;
  std::map<std::string, double> figures = parseTextReport(run.out);
  expectValidResult(dir.File("merged.json"));
  const Json merged = Json::parse(readWholeFile(dir.File("merged.json")), nullptr, false);
  ASSERT_TRUE(merged.is_object());
  ASSERT_EQ(merged["merged"].size(), 2u);

  nginx.WaitForLoggedRequests(static_cast<int>(figures["Attempted requests"]), LOG_SETTLE_MILLIS);
  const std::string log = nginx.AccessLog();
  std::map<int64_t, uint64_t> buckets;
  int attempted = 0;
  for (const char* host : {"h1", "h2"}) {
    SCOPED_TRACE(host);
    const std::string file = dir.File(std::string("kelv-result.json.") + host);
    expectValidResult(file);
    const Json result = Json::parse(readWholeFile(file), nullptr, false);
    ASSERT_TRUE(result.is_object());
    EXPECT_EQ(result["settings"]["name"], host);
    const int counted = result["counts"]["attempted"];
    attempted += counted;
    const double start = wallMillis(result["measured"]["start"]);
    const double end = start + result["measured"]["seconds"].get<double>() * 1000;
    const int served = loggedWithin(log, host, start, end + 1);
    EXPECT_GT(served, 0);
    EXPECT_LE(std::abs(served - counted), 2 * CONNECTIONS_PER_HOST)
        << served << " logged, " << counted << " counted";
    for (const Json& bucket : result["latency"]["histogram"]["buckets"]) {
      buckets[bucket[0].get<int64_t>()] += bucket[1].get<uint64_t>();
    }
  }
  EXPECT_EQ(figures["Attempted requests"], attempted);
  EXPECT_EQ(merged["counts"]["attempted"], attempted);

  const int subBucketBits = merged["latency"]["histogram"]["subBucketBits"];
  for (const char* p : {"50", "90", "99"}) {
    const auto [lowest, highest] = bucketRange(bucketOfPercentile(buckets, std::stod(p)),
                                               subBucketBits);
    const double reported = merged["latency"]["percentiles"][p];
    EXPECT_GE(reported, lowest / NANOS_PER_MILLI) << p;
    EXPECT_LE(reported, highest / NANOS_PER_MILLI) << p;
    EXPECT_NEAR(figures[std::string(p) + "% latency"], reported, 0.0005 + 1e-9) << p;
  }
}

}  // namespace
}  // namespace kelv
