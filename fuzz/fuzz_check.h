#pragma once

#include <cstdio>
#include <cstdlib>

namespace kelv {

// A property of the code under test that an input broke: the fuzzer records the input as a
// crash. The text says which property, so that the report is readable without a debugger.
inline void fuzzExpect(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "Fuzz property violated: %s\n", property);
  std::abort();
}

}  // namespace kelv
