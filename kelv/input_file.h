#pragma once

#include <string>

namespace kelv {

constexpr int INPUT_FILE_OK = 0;
constexpr int INPUT_FILE_UNREADABLE = -1;

// The whole content of the request body file into `body`, byte for byte. A file that
// cannot be opened or read is reported on standard error.
int readInputFile(const std::string& path, std::string& body);

}  // namespace kelv
