#pragma once

#include <string>
#include <vector>

namespace qen {

// The argument vector as text: the kernel hands over bytes, and a desktop
// hands its programs text, so ill-formed UTF-8 becomes U+FFFD.
std::vector<std::string> argumentVector(int argc, const char* const* argv);

}  // namespace qen
