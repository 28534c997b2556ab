#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace qen {

// The option whose next element names the shortcut.
inline constexpr std::string_view shortcutOption = "--shortcut";

struct ShortcutConfig {
  enum class Mode { fnOnly, fnSpace };

  std::string rawValue;  // "Fn" or "Fn+Space", never the text the host wrote
  Mode mode;

  friend bool operator==(const ShortcutConfig&, const ShortcutConfig&) = default;
};

using Mode = ShortcutConfig::Mode;

// Thrown by parseShortcut and parseFnKey; errorDescription() is what the
// "error" event says.
class HelperError {
 public:
  enum class Kind { unsupportedShortcut, missingShortcut, unsupportedFnKey, missingFnKey };

  static HelperError unsupportedShortcut(std::string normalisedShortcut);
  static HelperError missingShortcut();
  static HelperError unsupportedFnKey(std::string normalisedName);
  static HelperError missingFnKey();

  Kind kind() const { return kind_; }
  // The normalised text of an unsupported shortcut or Fn key.
  const std::string& shortcut() const { return shortcut_; }
  std::string errorDescription() const;

 private:
  HelperError(Kind kind, std::string shortcut) : kind_(kind), shortcut_(std::move(shortcut)) {}

  Kind kind_;
  std::string shortcut_;
};

// arguments: the whole argument vector as UTF-8 text, element 0 included.
ShortcutConfig parseShortcut(const std::vector<std::string>& arguments);

// The option whose next element names the key that plays Fn's part.
inline constexpr std::string_view fnKeyOption = "--fn-key";

// The key a --fn-key value names, normalised as a shortcut's keys are.
platform::FnKey parseFnKey(std::string_view value);

// The canonical name of a key, as --fn-key takes it and "ready" reports it.
std::string_view fnKeyName(platform::FnKey key);

}  // namespace qen
