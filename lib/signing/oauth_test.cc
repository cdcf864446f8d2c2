#include "lib/signing/oauth.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "absl/strings/str_format.h"
#include "lib/targets/target_url.h"
#include "lib/util/clock.h"
#include "lib/util/random.h"

namespace kelv {
namespace {

constexpr int64_t NANOS_PER_SECOND = 1000000000;

TargetUrl makeTarget(bool ssl, const std::string& hostHeader, const std::string& path,
                     const std::string& query) {
  TargetUrl url;
  url.isSsl = ssl;
  url.hostHeader = hostHeader;
  url.path = path;
  url.query = query;
  return url;
}

// The worked example that OAuth 1.0 implementations are commonly checked against; its
// query carries oauth_version, which this client never adds on its own.
TargetUrl photosTarget() {
  return makeTarget(false, "photos.example.net", "/photos",
                    "file=vacation.jpg&size=original&oauth_version=1.0");
}
OAuthCredentials photosCredentials() {
  return {"dpf43f3p2l4k3l03", "kd94hf93k423kf44", "nnch734d00sl2jdk", "pfkkdhi9sl3r4s00"};
}
constexpr int64_t PHOTOS_TIMESTAMP = 1191242096;
constexpr char PHOTOS_NONCE[] = "kllo9940pd9333jh";
constexpr char PHOTOS_BASE[] =
    "GET&http%3A%2F%2Fphotos.example.net%2Fphotos&file%3Dvacation.jpg%26oauth_consumer_key%"
    "3Ddpf43f3p2l4k3l03%26oauth_nonce%3Dkllo9940pd9333jh%26oauth_signature_method%3DHMAC-"
    "SHA1%26oauth_timestamp%3D1191242096%26oauth_token%3Dnnch734d00sl2jdk%26oauth_version%"
    "3D1.0%26size%3Doriginal";

// The value of the header item name="value", or empty.
std::string itemValue(const std::string& header, const std::string& name) {
  const size_t start = header.find(name + "=\"");
  if (start == std::string::npos) return "";
  const size_t from = start + name.size() + 2;
  return header.substr(from, header.find('"', from) - from);
}

// The normalised parameter string of a base string, decoded once (it is encoded twice).
std::string paramsOf(const std::string& base) {
  return oauthPercentDecode(base.substr(base.rfind('&') + 1));
}

TEST(OAuthPercentEncode, KeepsOnlyUnreservedCharacters) {
  EXPECT_EQ(oauthPercentEncode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(oauthPercentEncode(" \n/:&=%+*"), "%20%0A%2F%3A%26%3D%25%2B%2A");
  EXPECT_EQ(oauthPercentEncode("\xE9\xC3\x80\xFF"), "%E9%C3%80%FF");
  EXPECT_EQ(oauthPercentEncode(std::string("a\0b", 3)), "a%00b");
}

TEST(OAuthPercentEncode, EveryByteSurvivesARoundTrip) {
  int unreserved = 0;
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    const std::string encoded = oauthPercentEncode(byte);
    ASSERT_TRUE(encoded.size() == 1 || encoded.size() == 3) << b;
    if (encoded.size() == 1) ++unreserved;
    EXPECT_EQ(encoded.find_first_of("abcdef", 1), std::string::npos) << "lowercase hex " << b;
    EXPECT_EQ(oauthPercentDecode(encoded), byte) << b;
  }
  EXPECT_EQ(unreserved, 26 + 26 + 10 + 4);
}

TEST(OAuthPercentDecode, DecodesPlusAndEscapesAndStopsAtATruncatedOne) {
  EXPECT_EQ(oauthPercentDecode("x+y%21"), "x y!");
  EXPECT_EQ(oauthPercentDecode("%2f%2F%C3%a9%00"), std::string("//\xC3\xA9\0", 5));
  EXPECT_EQ(oauthPercentDecode("ab%4"), "ab");
  EXPECT_EQ(oauthPercentDecode("ab%"), "ab");
}

TEST(OAuthPercentDecode, MalformedEscapesNeverFail) {
  // No hex digit after the "%": it stays, and decoding goes on right after it.
  EXPECT_EQ(oauthPercentDecode("%zz"), "%zz");
  EXPECT_EQ(oauthPercentDecode("%%41"), "%A");
  EXPECT_EQ(oauthPercentDecode("% 5%-5"), "% 5%-5");
  // One hex digit: its value, and both characters are used.
  EXPECT_EQ(oauthPercentDecode("%4z"), "\x04");
  EXPECT_EQ(oauthPercentDecode("%Fzq"), "\x0Fq");
}

TEST(OAuthParseParams, SplitsPiecesIntoNamesAndDecodedValues) {
  OAuthParams params = {{"kept", "1"}};
  oauthParseParams(params, "a=b=c&flag&x%20y=1+2&=");
  const OAuthParams expected = {{"kept", "1"}, {"a", "b"}, {"flag", ""}, {"x y", "1 2"}, {"", ""}};
  EXPECT_EQ(params, expected);
}

TEST(OAuthParseParams, EmptyPiecesCarryNoParameter) {
  const OAuthParams none, two = {{"a", "1"}, {"b", "2"}};
  const std::pair<const char*, const OAuthParams*> cases[] = {
      {"", &none}, {"&", &none}, {"a=1&&b=2", &two}, {"&a=1&b=2&", &two}};
  for (const auto& [query, expected] : cases) {
    OAuthParams params;
    oauthParseParams(params, query);
    EXPECT_EQ(params, *expected) << query;
  }
}

TEST(OAuthNonce, IsTwoDefaultRangeDrawsInUppercaseHexWithoutLeadingZeros) {
  RandomState random, twin;
  randomSeed(random, 4242);
  randomSeed(twin, 4242);
  for (int i = 0; i < 200; ++i) {
    const int32_t first = randomInRange(twin, 0, 2147483647);
    const int32_t second = randomInRange(twin, 0, 2147483647);
    ASSERT_EQ(oauthNonce(random), absl::StrFormat("%X%X", first, second));
  }
}

TEST(OAuthTimestamp, FollowsTheWallClock) {
  const int64_t before = wallClockNow() / NANOS_PER_SECOND;
  const int64_t timestamp = oauthTimestamp();
  const int64_t after = wallClockNow() / NANOS_PER_SECOND;
  EXPECT_GE(timestamp, before);
  EXPECT_LE(timestamp, after);
}

TEST(OAuthBaseString, MatchesTheWorkedExample) {
  EXPECT_EQ(
      oauthBaseString(photosTarget(), "GET", PHOTOS_TIMESTAMP, PHOTOS_NONCE, photosCredentials()),
      PHOTOS_BASE);
}

TEST(OAuthBaseString, SortsQueryParametersByNameThenValue) {
  const TargetUrl url = makeTarget(false, "h", "/", "b=2&a=1&a=0&q=x+y%21");
  const std::string base = oauthBaseString(url, "GET", 7, "AB", {"k", "s", "", ""});
  EXPECT_EQ(paramsOf(base),
            "a=0&a=1&b=2&oauth_consumer_key=k&oauth_nonce=AB&oauth_signature_method=HMAC-SHA1&"
            "oauth_timestamp=7&q=x%20y%21");
}

TEST(OAuthBaseString, BaseUriCarriesSchemeHostPortAndPath) {
  const OAuthCredentials credentials = {"k", "s", "", ""};
  auto uriOf = [&](const TargetUrl& url, const char* method = "GET") {
    const std::string base = oauthBaseString(url, method, 1, "A", credentials);
    return base.substr(0, base.rfind('&'));
  };
  // The target keeps the port in hostHeader only when it is not the scheme's default.
  EXPECT_EQ(uriOf(makeTarget(false, "example.com", "/a/b", "")),
            "GET&http%3A%2F%2Fexample.com%2Fa%2Fb");
  EXPECT_EQ(uriOf(makeTarget(false, "example.com:8080", "/", "")),
            "GET&http%3A%2F%2Fexample.com%3A8080%2F");
  EXPECT_EQ(uriOf(makeTarget(true, "example.com:80", "/", ""), "POST"),
            "POST&https%3A%2F%2Fexample.com%3A80%2F");
  EXPECT_EQ(uriOf(makeTarget(true, "[::1]:8443", "", "")),
            "GET&https%3A%2F%2F%5B%3A%3A1%5D%3A8443%2F");
}

TEST(OAuthBaseString, AbsentCredentialsTakeNoPart) {
  const TargetUrl url = makeTarget(false, "h", "/", "");
  const std::string twoLegged = paramsOf(oauthBaseString(url, "GET", 5, "C", {"k", "s", "", ""}));
  EXPECT_EQ(twoLegged,
            "oauth_consumer_key=k&oauth_nonce=C&oauth_signature_method=HMAC-SHA1&"
            "oauth_timestamp=5");
  const std::string noKey = paramsOf(oauthBaseString(url, "GET", 5, "C", {"", "s", "t", ""}));
  EXPECT_EQ(noKey,
            "oauth_nonce=C&oauth_signature_method=HMAC-SHA1&oauth_timestamp=5&oauth_token=t");
}

TEST(OAuthSignature, SignsWithTheEncodedSecretsJoinedByAmpersand) {
  EXPECT_EQ(oauthSignature(PHOTOS_BASE, photosCredentials()), "tR3+Ty81lMeYAr/Fid0kMTYa/WM=");
  // Reference values from an independent HMAC-SHA1 over the keys "s&", "a%20b%C3%A9&t%2Bs"
  // and "&".
  EXPECT_EQ(oauthSignature("abc", {"k", "s", "", ""}), "zwcJzjAWSnmYNDSUSahpb2+0Lsc=");
  EXPECT_EQ(oauthSignature("GET&x&y", {"", "a b\xC3\xA9", "t", "t+s"}),
            "OgWY9Ds7/iqkxYTA4UJW75U1i/o=");
  EXPECT_EQ(oauthSignature("", {}), "5CoEcoq7XoKFjwYCieQvuzadeUA=");
}

TEST(OAuthAuthorizationHeader, WritesTheItemsInOrder) {
  EXPECT_EQ(oauthAuthorizationHeader(photosTarget(), "GET", photosCredentials(), PHOTOS_TIMESTAMP,
                                     PHOTOS_NONCE),
            "Authorization: OAuth realm=\"\", oauth_consumer_key=\"dpf43f3p2l4k3l03\", "
            "oauth_token=\"nnch734d00sl2jdk\", oauth_signature_method=\"HMAC-SHA1\", "
            "oauth_signature=\"tR3%2BTy81lMeYAr%2FFid0kMTYa%2FWM%3D\", "
            "oauth_timestamp=\"1191242096\", oauth_nonce=\"kllo9940pd9333jh\"");
}

TEST(OAuthAuthorizationHeader, AbsentTokenAndEmptyKeyShapeTheItems) {
  const TargetUrl url = makeTarget(false, "h", "/", "");
  const std::string twoLegged = oauthAuthorizationHeader(url, "GET", {"a b", "s", "", ""}, 3, "F");
  EXPECT_EQ(twoLegged.find("oauth_token"), std::string::npos);
  EXPECT_EQ(twoLegged.rfind("Authorization: OAuth realm=\"\", oauth_consumer_key=\"a%20b\", "
                            "oauth_signature_method=\"HMAC-SHA1\", oauth_signature=\"",
                            0),
            0u);
  const std::string noKey = oauthAuthorizationHeader(url, "GET", {"", "s", "t", "u"}, 3, "F");
  EXPECT_EQ(noKey.rfind("Authorization: OAuth realm=\"\", oauth_consumer_key=\"\", "
                        "oauth_token=\"t\", oauth_signature_method=\"HMAC-SHA1\", ",
                        0),
            0u);
}

TEST(OAuthAuthorizationHeader, FreshHeadersSignTheirOwnTimestampAndNonce) {
  const TargetUrl url = makeTarget(true, "api.test:8443", "/v1", "x=1");
  const OAuthCredentials credentials = {"key", "secret", "tok", "toksecret"};
  RandomState random;
  randomSeed(random, 99);
  std::set<std::string> nonces;
  for (int i = 0; i < 2; ++i) {
    const int64_t before = wallClockNow() / NANOS_PER_SECOND;
    const std::string header = oauthAuthorizationHeader(random, url, "GET", credentials);
    const int64_t after = wallClockNow() / NANOS_PER_SECOND;
    const std::string timestampText = itemValue(header, "oauth_timestamp");
    const std::string nonce = itemValue(header, "oauth_nonce");
    ASSERT_FALSE(timestampText.empty()) << header;
    const int64_t timestamp = std::stoll(timestampText);
    EXPECT_GE(timestamp, before);
    EXPECT_LE(timestamp, after);
    EXPECT_EQ(nonce.find_first_not_of("0123456789ABCDEF"), std::string::npos) << header;
    // The same timestamp and nonce went into the signature, and the nonce ends the line.
    EXPECT_EQ(header, oauthAuthorizationHeader(url, "GET", credentials, timestamp, nonce));
    nonces.insert(nonce);
  }
  EXPECT_EQ(nonces.size(), 2u);
}

}  // namespace
}  // namespace kelv
