#pragma once

#include <sys/resource.h>

#include <cstdint>

namespace kelv {

// Descriptors the program holds besides its connections: standard streams, files read at
// start-up, monitor sockets, the resolver; and per I/O thread its loop's own descriptors.
constexpr rlim_t RESERVED_DESCRIPTORS = 32;
constexpr rlim_t DESCRIPTORS_PER_THREAD = 4;

enum class FileLimitAction { KEEP, RAISE, TOO_LOW };

rlim_t descriptorsNeeded(int32_t concurrency, int numThreads);
// KEEP when the soft limit covers the need, RAISE (soft to hard) when the hard one does.
FileLimitAction fileLimitAction(rlim_t needed, rlim_t softLimit, rlim_t hardLimit);

// Raises the soft open-file limit when the connections need it. False, with the reason on
// standard error, when the run cannot have enough descriptors.
bool ensureFileLimit(int32_t concurrency, int numThreads);

}  // namespace kelv
