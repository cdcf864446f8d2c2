#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/util/random.h"

namespace kelv {

class TargetUrl;

// Read-only after option parsing; an empty string means the item is absent.
struct OAuthCredentials {
  std::string consumerKey;
  std::string consumerSecret;
  std::string token;
  std::string tokenSecret;
};

using OAuthParams = std::vector<std::pair<std::string, std::string>>;

// "Authorization: OAuth realm=..." with a fresh timestamp and nonce, without CR LF.
std::string oauthAuthorizationHeader(RandomState& random, const TargetUrl& url,
                                     std::string_view method,
                                     const OAuthCredentials& credentials);
std::string oauthPercentEncode(std::string_view text);
std::string oauthPercentDecode(std::string_view text);
void oauthParseParams(OAuthParams& params, std::string_view query);
std::string oauthNonce(RandomState& random);
std::string oauthBaseString(const TargetUrl& url, std::string_view method, int64_t timestamp,
                            std::string_view nonce, const OAuthCredentials& credentials);
std::string oauthSignature(std::string_view baseString, const OAuthCredentials& credentials);

// Whole seconds since the Unix epoch by the real-time clock: servers compare it with
// their own wall clock, so the monotonic clock would not do.
int64_t oauthTimestamp();
// The header line for a given timestamp and nonce; the overload above draws both fresh
// and calls this one, which lets tests fix them.
std::string oauthAuthorizationHeader(const TargetUrl& url, std::string_view method,
                                     const OAuthCredentials& credentials, int64_t timestamp,
                                     std::string_view nonce);

}  // namespace kelv
