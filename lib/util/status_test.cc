#include "lib/util/status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "lib/util/strings.h"

namespace kelv {
namespace {

TEST(Status, PrintsCodeTextAndMessage) {
  EXPECT_EQ(Status().ToString(), "ok");
  EXPECT_EQ(Status(StatusCode::INVALID_URL, "Invalid scheme").ToString(),
            "Invalid URL: Invalid scheme");
  EXPECT_EQ(Status(StatusCode::IO_ERROR, "").ToString(), "I/O error");
  std::ostringstream out;
  out << Status(StatusCode::DNS_ERROR, "x");
  EXPECT_EQ(out.str(), "DNS error: x");
}

TEST(Status, EveryCodeHasItsText) {
  EXPECT_STREQ(statusCodeText(StatusCode::SOCKET_ERROR), "Socket error");
  EXPECT_STREQ(statusCodeText(StatusCode::TLS_ERROR), "TLS error");
  EXPECT_STREQ(statusCodeText(StatusCode::INTERNAL_ERROR), "Internal error");
  EXPECT_STREQ(statusCodeText(static_cast<StatusCode>(7)), "Unknown error");
  EXPECT_STREQ(statusCodeText(static_cast<StatusCode>(-1)), "Unknown error");
}

TEST(Status, ErrnoConstructorUsesTheSystemText) {
  const Status status = Status::FromErrno(StatusCode::SOCKET_ERROR, ECONNREFUSED);
  EXPECT_EQ(status.code, StatusCode::SOCKET_ERROR);
  EXPECT_EQ(status.message, std::strerror(ECONNREFUSED));
  EXPECT_FALSE(status.ok());
  EXPECT_LT(errnoText(123456).size(), 64u);
}

TEST(Strings, CaseInsensitiveEqualityNeedsEqualLength) {
  EXPECT_TRUE(equalsIgnoreCase("Content-Type", "content-TYPE"));
  EXPECT_FALSE(equalsIgnoreCase("Host ", "host"));
  EXPECT_TRUE(equalsIgnoreCase("", ""));
  EXPECT_FALSE(equalsIgnoreCase("a", "b"));
}

}  // namespace
}  // namespace kelv

#include "lib/util/check.h"

namespace kelv {
namespace {

TEST(CheckOrAbortDeathTest, NamesTheSourceAndLine) {
  EXPECT_DEATH(CHECK_OR_ABORT(1 + 1 == 3, "kelv_time"), "^Assertion failed: kelv_time:[0-9]+\n$");
  CHECK_OR_ABORT(true, "kelv_time");
}

}  // namespace
}  // namespace kelv
