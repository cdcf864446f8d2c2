// OAuth signing over queries, credentials and text of any bytes: percent-encoding must undo
// exactly by decoding, queries must split into their non-empty pieces, the base string must
// keep its three parts apart, and the Authorization header must stay one header line.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "lib/signing/oauth.h"
#include "lib/targets/target_url.h"

namespace kelv {
namespace {

constexpr size_t MAX_TEXT = 256;

bool isHexUpper(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

bool isPercentEncoded(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '%') {
      const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                              (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~';
      if (!unreserved) return false;
      continue;
    }
    if (i + 2 >= text.size() || !isHexUpper(text[i + 1]) || !isHexUpper(text[i + 2])) return false;
    i += 2;
  }
  return true;
}

size_t nonEmptyPieces(std::string_view query) {
  size_t count = 0;
  for (size_t start = 0; start <= query.size();) {
    const size_t end = std::min(query.find('&', start), query.size());
    if (end > start) ++count;
    start = end + 1;
  }
  return count;
}

void checkEncoding(std::string_view text) {
  const std::string encoded = oauthPercentEncode(text);
  fuzzExpect(isPercentEncoded(encoded), "encoding leaves only unreserved bytes and %XX");
  fuzzExpect(oauthPercentDecode(encoded) == text, "decoding undoes encoding");
  static_cast<void>(oauthPercentDecode(text));  // any text decodes without reading past it
}

void checkSigning(const TargetUrl& url, const OAuthCredentials& credentials) {
  OAuthParams params;
  oauthParseParams(params, url.query);
  fuzzExpect(params.size() == nonEmptyPieces(url.query), "one parameter per non-empty piece");
  const std::string base = oauthBaseString(url, "GET", 1700000000, "ABC", credentials);
  fuzzExpect(base.starts_with("GET&") && std::count(base.begin(), base.end(), '&') == 2,
             "the base string has exactly its three parts");
  const std::string header = oauthAuthorizationHeader(url, "GET", credentials, 1700000000, "ABC");
  fuzzExpect(header.find_first_of("\r\n") == std::string::npos, "the header is one line");
}

}  // namespace
}  // namespace kelv

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelv;
  FuzzedDataProvider input(data, size);
  TargetUrl url;
  url.isSsl = input.ConsumeBool();
  url.hostHeader = input.ConsumeRandomLengthString(MAX_TEXT);
  url.path = input.ConsumeRandomLengthString(MAX_TEXT);
  OAuthCredentials credentials;
  credentials.consumerKey = input.ConsumeRandomLengthString(MAX_TEXT);
  credentials.consumerSecret = input.ConsumeRandomLengthString(MAX_TEXT);
  credentials.token = input.ConsumeRandomLengthString(MAX_TEXT);
  credentials.tokenSecret = input.ConsumeRandomLengthString(MAX_TEXT);
  url.query = input.ConsumeRemainingBytesAsString();
  checkEncoding(url.query);
  checkSigning(url, credentials);
  return 0;
}
