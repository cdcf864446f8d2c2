#include "kelv/file_limit.h"

#include <cerrno>
#include <cstdio>

#include "lib/util/status.h"

namespace kelv {

rlim_t descriptorsNeeded(int32_t concurrency, int numThreads) {
  return static_cast<rlim_t>(concurrency) +
         static_cast<rlim_t>(numThreads) * DESCRIPTORS_PER_THREAD + RESERVED_DESCRIPTORS;
}

FileLimitAction fileLimitAction(rlim_t needed, rlim_t softLimit, rlim_t hardLimit) {
  if (needed <= softLimit) return FileLimitAction::KEEP;
  if (needed > hardLimit) return FileLimitAction::TOO_LOW;
  return FileLimitAction::RAISE;
}

bool ensureFileLimit(int32_t concurrency, int numThreads) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    std::fprintf(stderr, "Error reading file descriptor limit: %s\n", errnoText(errno).c_str());
    return false;
  }
  const rlim_t needed = descriptorsNeeded(concurrency, numThreads);
  switch (fileLimitAction(needed, limit.rlim_cur, limit.rlim_max)) {
    case FileLimitAction::KEEP:
      return true;
    case FileLimitAction::TOO_LOW:
      std::fprintf(stderr, "Current hard file descriptor limit is %llu: it is too low. Try sudo\n",
                   static_cast<unsigned long long>(limit.rlim_max));
      return false;
    case FileLimitAction::RAISE:
      break;
  }
  // Linux refuses an unlimited soft limit for descriptors; the need is enough then.
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? needed : limit.rlim_max;
  const int result = setrlimit(RLIMIT_NOFILE, &limit);
  if (result != 0) {
    std::fprintf(stderr, "Error setting file descriptor limit: %d\n", result);
    return false;
  }
  return true;
}

}  // namespace kelv
