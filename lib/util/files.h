#pragma once

#include <string>
#include <string_view>

#include "lib/util/status.h"

namespace kelv {

// Writes the bytes to path, replacing any file there; the system's reason when it cannot,
// a failure that shows only at the close included.
Status replaceFile(const std::string& path, std::string_view bytes);

// The whole content of a regular file; the system's reason when it cannot be read (a
// directory, a device or a FIFO is refused, since it has no end or may never give one).
Status readRegularFile(const std::string& path, std::string* content);

}  // namespace kelv
