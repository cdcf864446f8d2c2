#include "lib/util/check.h"

#include <cstdio>
#include <cstdlib>

namespace kelv {

void checkFailed(const char* source, int line) {
  std::fprintf(stderr, "Assertion failed: %s:%d\n", source, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace kelv
