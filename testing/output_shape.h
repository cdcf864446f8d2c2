#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelv {

// Test helper: whether a line of program output has a given shape. A shape is literal text
// with fields in braces:
//   {n}    one or more decimal digits
//   {fK}   one or more digits, ".", exactly K digits (K from 1 to 9)
//   {xK}   exactly K lowercase hexadecimal digits (K from 1 to 99)
//   {w}    one or more characters other than blank and comma
//   {*}    any text, possibly empty
// The text of each field is appended to `fields`, in order, when the whole line matches.
bool matchShape(std::string_view text, std::string_view shape,
                std::vector<std::string>* fields = nullptr);

}  // namespace kelv
