#pragma once

#include <string>
#include <vector>

namespace qen {

// Turns raw argument bytes into text, replacing ill-formed UTF-8 with U+FFFD.
std::vector<std::string> argumentVector(int argc, const char* const* argv);

bool requestAccessibility(bool prompt);

// The whole life of the helper: start-up, then the main loop. Returns the exit
// status: 1 after a shortcut error, 0 if the main loop ever returns.
int runHelper(const std::vector<std::string>& arguments);

}  // namespace qen
