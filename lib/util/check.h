#pragma once

namespace kelv {

// Prints "Assertion failed: <source>:<line>" to standard error and aborts.
[[noreturn]] void checkFailed(const char* source, int line);

}  // namespace kelv

// An always-on check, never compiled out. The source name is the component's own name
// (for example kelv_time), not the file path, so messages stay stable across builds.
#define CHECK_OR_ABORT(condition, source) \
  do {                                    \
    if (!(condition)) ::kelv::checkFailed(source, __LINE__); \
  } while (0)
