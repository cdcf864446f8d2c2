// Generated headers checked by an independent RFC 5849 implementation (Debian's oauthlib,
// run by testing/oauth_verify.py), the way a server would check them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/signing/oauth.h"
#include "lib/targets/target_url.h"
#include "lib/util/random.h"
#include "testing/oauth_verifier.h"

namespace kelv {
namespace {

struct SignedCase {
  std::string name;
  bool ssl;
  std::string hostHeader;    // as a target holds it: no port when it is the default
  std::string urlAuthority;  // as the user wrote it
  std::string path;
  std::string query;
  std::string method;
  OAuthCredentials credentials;
};

std::string urlOf(const SignedCase& c) {
  std::string url = std::string(c.ssl ? "https" : "http") + "://" + c.urlAuthority + c.path;
  if (!c.query.empty()) url += "?" + c.query;
  return url;
}

std::string headerFor(const SignedCase& c, RandomState& random) {
  TargetUrl url;
  url.isSsl = c.ssl;
  url.hostHeader = c.hostHeader;
  url.path = c.path;
  url.query = c.query;
  return oauthAuthorizationHeader(random, url, c.method, c.credentials);
}

const std::vector<SignedCase>& signedCases() {
  static const std::vector<SignedCase> cases = {
      {"query",
       false,
       "127.0.0.1",
       "127.0.0.1",
       "/search",
       "b=2&a=1&a=0&q=x+y%21&e=%C3%A9&flag",
       "GET",
       {"ck", "cs", "tk", "ts"}},
      {"no query", false, "localhost", "localhost", "/", "", "GET", {"ck", "cs", "tk", "ts"}},
      {"non-default port",
       true,
       "127.0.0.1:8443",
       "127.0.0.1:8443",
       "/a/b%20c",
       "z=~",
       "POST",
       {"c k", "c&s", "t/k", "t=s"}},
      {"explicit default port",
       false,
       "127.0.0.1",
       "127.0.0.1:80",
       "/p",
       "x=1",
       "GET",
       {"ck", "cs", "tk", "ts"}},
      {"two-legged",
       false,
       "[::1]:8080",
       "[::1]:8080",
       "/v1/items",
       "page=2",
       "GET",
       {"consumer", "s\xC3\xA9\x63ret", "", ""}},
      {"empty query pieces",
       false,
       "127.0.0.1:8080",
       "127.0.0.1:8080",
       "/",
       "&a=1&&b=2&",
       "DELETE",
       {"ck", "cs", "tk", "ts"}},
  };
  return cases;
}

TEST(OAuthAuthorizationHeader, VerifiesWithAnIndependentImplementation) {
  RandomState random;
  randomInit(random);
  std::vector<SignedRequest> groups;
  for (const SignedCase& c : signedCases()) {
    groups.push_back({c.method, urlOf(c), headerFor(c, random), c.credentials.consumerSecret,
                      c.credentials.tokenSecret});
  }
  // A control the verifier must reject: the right header checked with a wrong secret.
  SignedRequest control = groups.front();
  control.consumerSecret += "x";
  groups.push_back(control);

  const std::vector<std::string> lines = verifyOAuthSignatures(groups);
  ASSERT_EQ(lines.size(), groups.size());
  for (size_t i = 0; i < signedCases().size(); ++i) {
    EXPECT_EQ(lines[i], "ok") << signedCases()[i].name << ": " << groups[i].header;
  }
  EXPECT_EQ(lines.back().rfind("bad: ", 0), 0u) << lines.back();
}

}  // namespace
}  // namespace kelv
