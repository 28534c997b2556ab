#pragma once

#include <string>
#include <vector>

namespace qen {

bool requestAccessibility(bool prompt);

// The whole life of the helper: start-up, then the main loop. Returns the exit
// status: 1 after a shortcut error, 0 if the main loop ever returns.
int runHelper(const std::vector<std::string>& arguments);

}  // namespace qen
