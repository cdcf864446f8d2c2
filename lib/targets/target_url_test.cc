#include "lib/targets/target_url.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

namespace kelv {
namespace {

// Empties the process-wide list before and after each test that uses it.
struct ListReset {
  ListReset() { TargetUrl::ClearListForTest(); }
  ~ListReset() { TargetUrl::ClearListForTest(); }
};

// A literal whose zone names no interface: it cannot resolve, and no name server is asked.
const char* const UNRESOLVABLE_URL = "http://[fe80::1%25nosuchif]:8080/";

TargetUrl parsed(const std::string& url) {
  TargetUrl target;
  const Status status = target.Parse(url);
  EXPECT_TRUE(status.ok()) << url << ": " << status;
  return target;
}

TEST(TargetUrl, HttpDefaults) {
  const TargetUrl target = parsed("http://localhost");
  EXPECT_FALSE(target.isSsl);
  EXPECT_EQ(target.port, 80);
  EXPECT_EQ(target.path, "/");
  EXPECT_EQ(target.query, "");
  EXPECT_EQ(target.requestTarget, "/");
  EXPECT_EQ(target.host, "localhost");
  EXPECT_EQ(target.hostHeader, "localhost");
  EXPECT_FALSE(target.addresses.Empty());
}

TEST(TargetUrl, HttpsWithPortPathQueryAndFragment) {
  const TargetUrl target = parsed("https://127.0.0.1:443/a?b=1#frag");
  EXPECT_TRUE(target.isSsl);
  EXPECT_EQ(target.port, 443);
  EXPECT_EQ(target.path, "/a");
  EXPECT_EQ(target.query, "b=1");
  EXPECT_EQ(target.requestTarget, "/a?b=1#frag");
  EXPECT_EQ(target.hostHeader, "127.0.0.1");
  ASSERT_EQ(target.addresses.Size(), 1u);
  const sockaddr_storage chosen = target.addresses.Choose(target.port, 0);
  EXPECT_EQ(chosen.ss_family, AF_INET);
  EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in*>(&chosen)->sin_port), 443);
  // A fragment alone, and user information, which is ignored.
  const TargetUrl fragment = parsed("http://user:pw@127.0.0.1/p#top");
  EXPECT_EQ(fragment.host, "127.0.0.1");
  EXPECT_EQ(fragment.requestTarget, "/p#top");
  EXPECT_EQ(fragment.query, "");
}

TEST(TargetUrl, HostHeaderNamesThePortUnlessItIsTheSchemeDefault) {
  EXPECT_EQ(parsed("http://localhost:8080/").hostHeader, "localhost:8080");
  EXPECT_EQ(parsed("https://localhost:80/").hostHeader, "localhost:80");
  EXPECT_EQ(parsed("http://localhost:443/").hostHeader, "localhost:443");
  EXPECT_EQ(parsed("http://localhost:80/").hostHeader, "localhost");
  const TargetUrl https = parsed("https://localhost/x");
  EXPECT_EQ(https.port, 443);
  EXPECT_EQ(https.hostHeader, "localhost");
}

TEST(TargetUrl, Ipv6LiteralKeepsBracketsOnlyInTheHostHeader) {
  const TargetUrl withPort = parsed("http://[::1]:8080/x");
  EXPECT_EQ(withPort.host, "::1");
  EXPECT_EQ(withPort.port, 8080);
  EXPECT_EQ(withPort.hostHeader, "[::1]:8080");
  EXPECT_EQ(withPort.requestTarget, "/x");
  const TargetUrl plain = parsed("https://[::1]/");
  EXPECT_EQ(plain.host, "::1");
  EXPECT_EQ(plain.hostHeader, "[::1]");
  ASSERT_FALSE(plain.addresses.Empty());
  EXPECT_EQ(AddressList::NumericName(plain.addresses.Choose(443, 0)), "::1");
}

TEST(TargetUrl, SchemesOtherThanLowerCaseHttpAndHttpsAreRefused) {
  for (const char* url : {"ftp://localhost/", "HTTP://localhost/", "Https://localhost/"}) {
    TargetUrl target;
    const Status status = target.Parse(url);
    EXPECT_EQ(status.code, StatusCode::INVALID_URL) << url;
    EXPECT_EQ(status.message, "Invalid scheme") << url;
  }
}

TEST(TargetUrl, UnsplittableUrlIsReportedWithItsText) {
  const std::string tooLong = "http://localhost/" + std::string(70000, 'a');
  for (const std::string& url : {std::string("localhost/x"), std::string("/just/a/path"),
                                 std::string("http://localhost:65536/"), std::string(""),
                                 std::string("http://local host/"), tooLong}) {
    TargetUrl target;
    const Status status = target.Parse(url);
    EXPECT_EQ(status.code, StatusCode::INVALID_URL);
    EXPECT_EQ(status.message, url);
  }
  TargetUrl highest;
  ASSERT_TRUE(highest.Parse("http://localhost:65535/").ok());
  EXPECT_EQ(highest.port, 65535);
}

TEST(TargetUrl, HostThatDoesNotResolveStillParses) {
  const TargetUrl target = parsed(UNRESOLVABLE_URL);
  EXPECT_TRUE(target.addresses.Empty());
  EXPECT_EQ(target.port, 8080);
}

TEST(TargetUrl, AddAppendsOnlyWhatParses) {
  ListReset reset;
  EXPECT_TRUE(TargetUrl::Add("http://127.0.0.1/one").ok());
  EXPECT_EQ(TargetUrl::Add("ftp://127.0.0.1/").message, "Invalid scheme");
  EXPECT_TRUE(TargetUrl::Add("http://127.0.0.1/two").ok());
  ASSERT_EQ(TargetUrl::List().size(), 2u);
  EXPECT_EQ(TargetUrl::List()[0]->path, "/one");
  EXPECT_EQ(TargetUrl::List()[1]->path, "/two");
}

TEST(TargetUrl, NextFromAnEmptyListOrAListOfOne) {
  ListReset reset;
  RandomState random;
  randomSeed(random, 7);
  EXPECT_EQ(TargetUrl::Next(random), nullptr);
  ASSERT_TRUE(TargetUrl::Add("http://127.0.0.1/").ok());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(TargetUrl::Next(random), TargetUrl::List()[0].get());
  RandomState untouched;
  randomSeed(untouched, 7);
  EXPECT_EQ(random.lcgState, untouched.lcgState);
}

TEST(TargetUrl, NextDrawsUniformlyOverSeveral) {
  ListReset reset;
  const int targets = 4;
  for (int i = 0; i < targets; ++i) {
    ASSERT_TRUE(TargetUrl::Add("http://127.0.0.1/" + std::to_string(i)).ok());
  }
  RandomState random;
  randomSeed(random, 12345);
  std::vector<int> hits(targets, 0);
  const int draws = 8000;
  for (int i = 0; i < draws; ++i) {
    const TargetUrl* next = TargetUrl::Next(random);
    ASSERT_NE(next, nullptr);
    ++hits[static_cast<size_t>(std::stoi(next->path.substr(1)))];
  }
  // Each expects 2000; the bounds are over six standard deviations wide.
  for (int count : hits) {
    EXPECT_GT(count, 1750);
    EXPECT_LT(count, 2250);
  }
}

TEST(TargetUrl, SameServerComparesTheChosenAddressWithItsPort) {
  const TargetUrl a = parsed("http://127.0.0.1/a");
  const TargetUrl b = parsed("http://127.0.0.1:80/b?x");
  const TargetUrl otherPort = parsed("http://127.0.0.1:8080/a");
  const TargetUrl tls = parsed("https://127.0.0.1:80/a");
  const TargetUrl otherHost = parsed("http://127.0.0.2/a");
  for (int thread : {0, 1, 5}) {
    EXPECT_TRUE(a.SameServer(b, thread));
    EXPECT_FALSE(a.SameServer(otherPort, thread));
    EXPECT_FALSE(a.SameServer(otherHost, thread));
  }
  // The address is all that counts, not the scheme.
  EXPECT_TRUE(a.SameServer(tls, 0));
  // Targets without addresses: alike among themselves, unlike any resolved one.
  const TargetUrl unresolved = parsed(UNRESOLVABLE_URL);
  const TargetUrl alsoUnresolved = parsed("http://[fe80::2%25nosuchif]/");
  EXPECT_TRUE(unresolved.SameServer(alsoUnresolved, 0));
  EXPECT_FALSE(unresolved.SameServer(otherPort, 0));
  EXPECT_FALSE(otherPort.SameServer(unresolved, 0));
}

}  // namespace
}  // namespace kelv
