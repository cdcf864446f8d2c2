#include "testing/output_shape.h"

#include <gtest/gtest.h>

namespace kelv {
namespace {

// The black-box tests are only as strict as this matcher.
TEST(MatchShape, FieldsTakeOnlyWhatTheyDescribe) {
  std::vector<std::string> fields;
  EXPECT_TRUE(matchShape("Duration: 12.345 s, 7 of 9", "Duration: {f3} s, {n} of {n}", &fields));
  EXPECT_EQ(fields, (std::vector<std::string>{"12.345", "7", "9"}));
  EXPECT_TRUE(matchShape("abc", "abc"));
  EXPECT_TRUE(matchShape("", "{*}"));
  EXPECT_TRUE(matchShape("id 0123456789abcdef", "id {x16}"));
  EXPECT_TRUE(
      matchShape("  Cipher: TLS_AES_256_GCM_SHA384 (256 bits)", "  Cipher: {w} ({n} bits)"));

  EXPECT_FALSE(matchShape("12.34", "{f3}"));
  EXPECT_FALSE(matchShape("12.3456", "{f3}"));
  EXPECT_FALSE(matchShape(".345", "{f3}"));
  EXPECT_FALSE(matchShape("", "{n}"));
  EXPECT_FALSE(matchShape("12x", "{n}"));
  EXPECT_FALSE(matchShape("0123456789ABCDEF", "{x16}"));
  EXPECT_FALSE(matchShape("0123456789abcde", "{x16}"));
  EXPECT_FALSE(matchShape("abc ", "abc"));
  EXPECT_FALSE(matchShape("ab", "abc"));
  EXPECT_FALSE(matchShape("a,b", "{w}"));
  EXPECT_FALSE(matchShape("anything", "{unknown}"));
}

}  // namespace
}  // namespace kelv
