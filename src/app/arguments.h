#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shortcut/shortcut.h"

namespace qen {

// The argument vector as text: the kernel hands over bytes, and a desktop
// hands its programs text, so ill-formed UTF-8 becomes U+FFFD.
std::vector<std::string> argumentVector(int argc, const char* const* argv);

// Everything the command line says, read once at start-up. Options are whole,
// case-sensitive elements anywhere, element 0 included, but never the value
// that follows the first --shortcut.
struct HelperOptions {
  bool diagnose = false;
  std::optional<ShortcutConfig> shortcut;  // always there without diagnose
  bool promptAccessibility = false;
  bool reportRelease = false;
  std::optional<platform::FnKey> fnKey;  // only when --fn-key names one
};

// Throws the HelperError to report: the shortcut's (not needed with
// --diagnose) before the Fn key's.
HelperOptions parseOptions(const std::vector<std::string>& arguments);

}  // namespace qen
