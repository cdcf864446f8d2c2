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

}  // namespace kelv
