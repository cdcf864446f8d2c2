#pragma once

#include <string>

namespace kelv {

enum class InputFileResult { OK, UNREADABLE };

// The whole content of the request body file into `body`, byte for byte. A file that
// cannot be opened or read is reported on standard error.
InputFileResult readInputFile(const std::string& path, std::string& body);

}  // namespace kelv
