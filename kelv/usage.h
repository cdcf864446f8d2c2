#pragma once

#include <ostream>

namespace kelv {

// The usage text; main writes it to standard error. It ends in an empty line.
void printUsage(std::ostream& out);

}  // namespace kelv
