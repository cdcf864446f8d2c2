#include "lib/signing/oauth.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>

#include "absl/strings/ascii.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_format.h"
#include "lib/signing/base64.h"
#include "lib/targets/target_url.h"
#include "lib/util/clock.h"

namespace kelv {
namespace {

constexpr char UPPER_HEX[] = "0123456789ABCDEF";
constexpr char SIGNATURE_METHOD[] = "HMAC-SHA1";
constexpr int64_t NANOS_PER_SECOND = 1000000000;
// Room for the Base64 text of the largest digest OpenSSL can produce, NUL included.
constexpr int MAX_ENCODED_DIGEST = (EVP_MAX_MD_SIZE + 2) / 3 * 4 + 1;

bool isUnreserved(char c) {
  return absl::ascii_isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' ||
         c == '~';
}

void appendPercentEncoded(std::string& out, std::string_view text) {
  for (char c : text) {
    if (isUnreserved(c)) {
      out.push_back(c);
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    out.push_back('%');
    out.push_back(UPPER_HEX[byte >> 4]);
    out.push_back(UPPER_HEX[byte & 15]);
  }
}

// The value of one hexadecimal digit, or -1.
int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes the escape whose "%" is at text[at], at least two characters before the end.
// Returns how many characters after the "%" it used: 0 when the "%" stays a literal
// byte because no hex digit follows it; otherwise both, even when only the first is a
// digit (that one digit is then the byte's value).
size_t decodeEscape(std::string& out, std::string_view text, size_t at) {
  const int high = hexDigitValue(text[at + 1]);
  if (high < 0) {
    out.push_back('%');
    return 0;
  }
  const int low = hexDigitValue(text[at + 2]);
  out.push_back(static_cast<char>(low < 0 ? high : high * 16 + low));
  return 2;
}

std::string_view valueOfPiece(std::string_view piece, size_t equals) {
  if (equals == std::string_view::npos) return {};
  const std::string_view rest = piece.substr(equals + 1);
  // Parts after a second "=" take no part.
  return rest.substr(0, rest.find('='));
}

void addPiece(OAuthParams& params, std::string_view piece) {
  const size_t equals = piece.find('=');
  params.emplace_back(oauthPercentDecode(piece.substr(0, equals)),
                      oauthPercentDecode(valueOfPiece(piece, equals)));
}

void addProtocolParams(OAuthParams& params, int64_t timestamp, std::string_view nonce,
                       const OAuthCredentials& credentials) {
  if (!credentials.consumerKey.empty()) {
    params.emplace_back("oauth_consumer_key", credentials.consumerKey);
  }
  if (!credentials.token.empty()) params.emplace_back("oauth_token", credentials.token);
  params.emplace_back("oauth_signature_method", SIGNATURE_METHOD);
  params.emplace_back("oauth_nonce", nonce);
  params.emplace_back("oauth_timestamp", absl::StrCat(timestamp));
}

// Encodes, sorts (byte order, name then value) and joins as name=value&name=value.
std::string normalizedParams(OAuthParams& params) {
  for (auto& [name, value] : params) {
    name = oauthPercentEncode(name);
    value = oauthPercentEncode(value);
  }
  std::sort(params.begin(), params.end());
  std::string joined;
  for (const auto& [name, value] : params) {
    if (!joined.empty()) joined.push_back('&');
    absl::StrAppend(&joined, name, "=", value);
  }
  return joined;
}

std::string baseStringUri(const TargetUrl& url) {
  const std::string_view scheme = url.isSsl ? "https://" : "http://";
  const std::string_view path = url.path.empty() ? std::string_view("/") : url.path;
  std::string uri(scheme);
  uri += url.hostHeader;
  uri += path;
  return uri;
}

}  // namespace

std::string oauthPercentEncode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  appendPercentEncoded(out, text);
  return out;
}

std::string oauthPercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      // A "%" too close to the end to carry two characters ends the text.
      if (text.size() - i < 3) break;
      i += decodeEscape(out, text, i);
    } else {
      out.push_back(c == '+' ? ' ' : c);
    }
  }
  return out;
}

void oauthParseParams(OAuthParams& params, std::string_view query) {
  // Empty pieces ("a&&b", a leading or trailing "&", an empty query) carry no
  // parameter, as servers see it; keeping them would break the signature.
  for (size_t start = 0; start < query.size();) {
    const size_t end = std::min(query.find('&', start), query.size());
    if (end > start) addPiece(params, query.substr(start, end - start));
    start = end + 1;
  }
}

std::string oauthNonce(RandomState& random) {
  // Two statements: the order of the draws is part of the result.
  const int32_t first = randomInRange(random, random.defaultLow, random.defaultHigh);
  const int32_t second = randomInRange(random, random.defaultLow, random.defaultHigh);
  return absl::StrFormat("%X%X", first, second);
}

int64_t oauthTimestamp() {
  const int64_t nanos = wallClockNow();
  const int64_t seconds = nanos / NANOS_PER_SECOND;
  return nanos % NANOS_PER_SECOND < 0 ? seconds - 1 : seconds;
}

std::string oauthBaseString(const TargetUrl& url, std::string_view method, int64_t timestamp,
                            std::string_view nonce, const OAuthCredentials& credentials) {
  OAuthParams params;
  oauthParseParams(params, url.query);
  addProtocolParams(params, timestamp, nonce, credentials);
  const std::string normalized = normalizedParams(params);
  std::string base(method);
  base.push_back('&');
  appendPercentEncoded(base, baseStringUri(url));
  base.push_back('&');
  appendPercentEncoded(base, normalized);
  return base;
}

std::string oauthSignature(std::string_view baseString, const OAuthCredentials& credentials) {
  std::string key = oauthPercentEncode(credentials.consumerSecret);
  key.push_back('&');
  appendPercentEncoded(key, credentials.tokenSecret);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  // Should HMAC ever fail, the length stays 0 and the signature is empty: the server
  // rejects the request, which the report counts, rather than reading stale bytes.
  if (HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(baseString.data()), baseString.size(), digest,
           &digestLength) == nullptr) {
    digestLength = 0;
  }
  char encoded[MAX_ENCODED_DIGEST];
  const int written = base64Encode(encoded, digest, static_cast<int>(digestLength));
  return std::string(encoded, written - 1);
}

std::string oauthAuthorizationHeader(const TargetUrl& url, std::string_view method,
                                     const OAuthCredentials& credentials, int64_t timestamp,
                                     std::string_view nonce) {
  const std::string signature =
      oauthSignature(oauthBaseString(url, method, timestamp, nonce, credentials), credentials);
  std::string line = "Authorization: OAuth realm=\"\", oauth_consumer_key=\"";
  appendPercentEncoded(line, credentials.consumerKey);
  if (!credentials.token.empty()) {
    line += "\", oauth_token=\"";
    appendPercentEncoded(line, credentials.token);
  }
  absl::StrAppend(&line, "\", oauth_signature_method=\"", SIGNATURE_METHOD,
                  "\", oauth_signature=\"");
  appendPercentEncoded(line, signature);
  absl::StrAppend(&line, "\", oauth_timestamp=\"", timestamp, "\", oauth_nonce=\"");
  line.append(nonce);
  line.push_back('"');
  return line;
}

std::string oauthAuthorizationHeader(RandomState& random, const TargetUrl& url,
                                     std::string_view method, const OAuthCredentials& credentials) {
  // Timestamp first, then the nonce; both go into the base string and the header alike.
  const int64_t timestamp = oauthTimestamp();
  const std::string nonce = oauthNonce(random);
  return oauthAuthorizationHeader(url, method, credentials, timestamp, nonce);
}

}  // namespace kelv
