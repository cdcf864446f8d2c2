#include "lib/util/files.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kelv {
namespace {

// A result file that cannot be written says why: the folder is missing, or the disk is full
// (which shows only at the write).
TEST(Files, AFileThatCannotBeWrittenGivesTheSystemsReason) {
  const Status missing = replaceFile(testing::TempDir() + "/no-such-directory/page.html", "{}");
  EXPECT_EQ(missing.code, StatusCode::IO_ERROR);
  EXPECT_EQ(missing.message, errnoText(ENOENT));
  const Status full = replaceFile("/dev/full", "{}");
  EXPECT_EQ(full.code, StatusCode::IO_ERROR);
  EXPECT_EQ(full.message, errnoText(ENOSPC));
}

}  // namespace
}  // namespace kelv
