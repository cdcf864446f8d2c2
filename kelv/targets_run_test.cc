// The kelv program with a file of URLs against real nginx instances on loopback: how the
// drawn targets spread over paths and servers, and what each server saw of it.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testing/run_test_util.h"
#include "testing/nginx.h"
#include "testing/scratch_dir.h"

namespace kelv {
namespace {

// A short pause between requests keeps the verbose output of a run small.
const std::vector<std::string> PACED_VERBOSE = {"-v", "-W", "5", "-K", "1", "-d", "2"};

std::unique_ptr<NginxServer> startLoggingNginx() {
  NginxOptions options;
  options.accessLog = true;
  return std::make_unique<NginxServer>(options);
}

// The paths each connection of the access log asked for.
std::map<std::string, std::multiset<std::string>> pathsByConnection(const std::string& log) {
  std::map<std::string, std::multiset<std::string>> paths;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);  // the time that ends each line is not needed here
    std::string serial, number, status, method, uri;
    fields >> serial >> number >> status >> method >> uri;
    EXPECT_EQ(status, "200") << log;
    paths[serial].insert(uri);
  }
  return paths;
}

int countOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class KelvUrlFile : public testing::Test {
 protected:
  // Writes the URLs, one per line, and runs kelv on the file with the options.
  SubprocessResult RunOn(const std::vector<std::string>& urls, std::vector<std::string> options) {
    std::string text;
    for (const std::string& url : urls) text += url + "\n";
    EXPECT_TRUE(dir.WriteFile("urls.txt", text));
    options.push_back("@" + dir.File("urls.txt"));
    SubprocessResult result = runKelv(options);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(result.out.starts_with("Read " + std::to_string(urls.size()) + " URLs from \"" +
                                       dir.File("urls.txt") + "\"\n"))
        << result.out.substr(0, 200);
    return result;
  }

  ScratchDir dir;
};

// Every request draws its path anew, and a connection that stays on one server is kept:
// each connection serves both paths, and no more connections are opened than asked for.
TEST_F(KelvUrlFile, TwoPathsOnOneServerShareKeptAliveConnections) {
  std::unique_ptr<NginxServer> nginx = startLoggingNginx();
  ASSERT_TRUE(nginx->ok()) << nginx->Error();
  ASSERT_TRUE(nginx->AddFile("b.txt", "bee"));
  std::vector<std::string> options = PACED_VERBOSE;
  options.insert(options.end(), {"-c", "3"});
  SubprocessResult result = RunOn({nginx->HttpUrl("/"), nginx->HttpUrl("/b.txt")}, options);
  std::map<std::string, double> r = parseTextReport(result.out);
  nginx->WaitForLoggedRequests(static_cast<int>(r["Successful requests"]), LOG_SETTLE_MILLIS);

  EXPECT_GT(r["Successful requests"], 0);
  EXPECT_EQ(r["Non-200 results"], 0);
  EXPECT_EQ(r["Socket errors"], 0);
  EXPECT_EQ(countOf(result.out, "Connecting to 127.0.0.1."), 3);
  EXPECT_EQ(result.out.find("Switching to a different server"), std::string::npos);
  EXPECT_GT(countOf(result.out, "GET /b.txt HTTP/1.1\r\n"), 0) << "the request was rebuilt";
  const auto paths = pathsByConnection(nginx->AccessLog());
  EXPECT_EQ(paths.size(), 3u) << nginx->AccessLog();
  for (const auto& [serial, served] : paths) {
    EXPECT_GT(served.size(), 10u) << "connection " << serial;
    EXPECT_GT(served.count("/"), 0u) << "connection " << serial;
    EXPECT_GT(served.count("/b.txt"), 0u) << "connection " << serial;
  }
}

// A draw of the other server ends the kept-alive connection after its response and opens
// one to the other server; each switch is told, and accounts for one more connection.
TEST_F(KelvUrlFile, UrlsOnTwoServersBothGetTrafficAndSwitchesAreTold) {
  std::unique_ptr<NginxServer> first = startLoggingNginx();
  std::unique_ptr<NginxServer> second = startLoggingNginx();
  ASSERT_TRUE(first->ok()) << first->Error();
  ASSERT_TRUE(second->ok()) << second->Error();
  std::vector<std::string> options = PACED_VERBOSE;
  options.insert(options.end(), {"-c", "2"});
  SubprocessResult result = RunOn({first->HttpUrl("/"), second->HttpUrl("/")}, options);
  std::map<std::string, double> r = parseTextReport(result.out);
  const int servedFirst = first->WaitForLoggedRequests(1, LOG_SETTLE_MILLIS);
  const int servedSecond = second->WaitForLoggedRequests(1, LOG_SETTLE_MILLIS);

  EXPECT_GT(servedFirst, 5);
  EXPECT_GT(servedSecond, 5);
  EXPECT_GT(r["Successful requests"], 0);
  EXPECT_LE(r["Attempted requests"], servedFirst + servedSecond);
  EXPECT_EQ(r["Socket errors"], 0);
  const int switches = countOf(result.out, "\nSwitching to a different server\n");
  EXPECT_GT(switches, 5) << result.out.substr(0, 3000);
  // Two first connections and one per switch; the last one of each slot may have been
  // opened, or not, when the run stopped, and then served nothing.
  const int connections = first->LoggedConnections() + second->LoggedConnections();
  EXPECT_GE(connections, switches);
  EXPECT_LE(connections, switches + 2);
  const int connects = countOf(result.out, "Connecting to 127.0.0.1.");
  EXPECT_GE(connects, switches);
  EXPECT_LE(connects, switches + 2);
}

}  // namespace
}  // namespace kelv
