#pragma once

#include <string_view>

namespace kelv {

// True when both have the same length and every byte pair matches after tolower.
bool equalsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace kelv
