#include "kelv/file_limit.h"

#include <gtest/gtest.h>

namespace kelv {
namespace {

TEST(FileLimit, KeepRaiseOrRefuse) {
  EXPECT_EQ(fileLimitAction(100, 256, 1024), FileLimitAction::KEEP);
  EXPECT_EQ(fileLimitAction(256, 256, 1024), FileLimitAction::KEEP);
  EXPECT_EQ(fileLimitAction(257, 256, 1024), FileLimitAction::RAISE);
  EXPECT_EQ(fileLimitAction(1024, 256, 1024), FileLimitAction::RAISE);
  EXPECT_EQ(fileLimitAction(1025, 256, 1024), FileLimitAction::TOO_LOW);
  EXPECT_EQ(fileLimitAction(1025, 1024, 1024), FileLimitAction::TOO_LOW);
  EXPECT_EQ(fileLimitAction(1u << 20, 1024, RLIM_INFINITY), FileLimitAction::RAISE);
  EXPECT_EQ(fileLimitAction(1u << 20, RLIM_INFINITY, RLIM_INFINITY), FileLimitAction::KEEP);
}

}  // namespace
}  // namespace kelv
