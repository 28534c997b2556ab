#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qen {

// The argument vector as text: the kernel hands over bytes, and a desktop
// hands its programs text, so ill-formed UTF-8 becomes U+FFFD.
std::vector<std::string> argumentVector(int argc, const char* const* argv);

// Whether an element is exactly flag, wherever it stands, element 0 included;
// the value that follows the first --shortcut is the shortcut's, never a flag.
bool hasFlag(const std::vector<std::string>& arguments, std::string_view flag);

}  // namespace qen
