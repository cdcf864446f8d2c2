#include "lib/util/verbose.h"

#include <cstdarg>
#include <cstdio>

namespace kelv {

void verbosef(bool on, const char* format, ...) {
  if (!on) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

void verboseLine(bool on, const char* text) {
  if (on) std::printf("%s\n", text);
}

}  // namespace kelv
