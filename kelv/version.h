#pragma once

#include <ostream>

namespace kelv {

constexpr char VERSION_TEXT[] = "1.2";

// The program's version, its source revision and the versions of the libraries it uses.
void printVersion(std::ostream& out);

}  // namespace kelv
