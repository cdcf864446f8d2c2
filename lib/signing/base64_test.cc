#include "lib/signing/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelv {
namespace {

// Encodes through a buffer one byte larger than needed, filled with a marker, so that a
// write past the promised length shows.
std::string encode(const std::string& bytes, int* written = nullptr) {
  const int n = static_cast<int>(bytes.size());
  std::vector<char> out(base64EncodedLength(n) + 1, '#');
  const int count =
      base64Encode(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()), n);
  EXPECT_EQ(out.back(), '#') << "wrote past base64EncodedLength";
  EXPECT_EQ(count, base64EncodedLength(n));
  EXPECT_EQ(out[count - 1], '\0');
  if (written != nullptr) *written = count;
  return std::string(out.data());
}

TEST(Base64, EncodesTheStandardTestVectors) {
  const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : vectors) {
    int written = 0;
    EXPECT_EQ(encode(plain, &written), encoded) << plain;
    EXPECT_EQ(written, static_cast<int>(std::string(encoded).size()) + 1) << plain;
  }
}

TEST(Base64, DigestSizedInputGivesTwentyEightCharacters) {
  std::string digest;
  for (int i = 0; i < 20; ++i) digest.push_back(static_cast<char>(i * 13 + 200));
  int written = 0;
  const std::string text = encode(digest, &written);
  EXPECT_EQ(written, 29);
  ASSERT_EQ(text.size(), 28u);
  EXPECT_EQ(text.back(), '=');
  EXPECT_NE(text[26], '=');
}

TEST(Base64, ArbitraryBytesUseTheWholeAlphabetOnOneLine) {
  EXPECT_EQ(encode("\xFB\xFF"), "+/8=");
  EXPECT_EQ(encode(std::string("a\0b", 3)), "YQBi");
  const std::string text = encode(std::string(300, 'x'));
  EXPECT_EQ(text.size(), 400u);
  EXPECT_EQ(text.find_first_not_of("eHh4"), std::string::npos);
}

}  // namespace
}  // namespace kelv
