#pragma once

namespace kelv {

// 40 lowercase hexadecimal digits of the commit that was built (40 zeros outside a
// git checkout); written by the build.
extern const char* const SOURCE_REVISION;

}  // namespace kelv
