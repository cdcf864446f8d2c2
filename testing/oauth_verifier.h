#pragma once

#include <string>
#include <vector>

namespace kelv {

// One Authorization line to check as a server would: the request's method and absolute URL,
// the whole line ("Authorization: OAuth ..."), and the two secrets.
struct SignedRequest {
  std::string method;
  std::string url;
  std::string header;
  std::string consumerSecret;
  std::string tokenSecret;
};

// Checks every line with an independent RFC 5849 implementation (Debian's oauthlib, run by
// testing/oauth_verify.py) in one run; one result per request, "ok" or "bad: " and why.
std::vector<std::string> verifyOAuthSignatures(const std::vector<SignedRequest>& requests);

}  // namespace kelv
