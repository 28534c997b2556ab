#pragma once

#include <string>
#include <string_view>
#include <vector>

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

// Thrown by parseShortcut; errorDescription() is what the "error" event says.
class HelperError {
 public:
  enum class Kind { unsupportedShortcut, missingShortcut };

  static HelperError unsupportedShortcut(std::string normalisedShortcut);
  static HelperError missingShortcut();

  Kind kind() const { return kind_; }
  const std::string& shortcut() const { return shortcut_; }
  std::string errorDescription() const;

 private:
  HelperError(Kind kind, std::string shortcut) : kind_(kind), shortcut_(std::move(shortcut)) {}

  Kind kind_;
  std::string shortcut_;
};

// arguments: the whole argument vector as UTF-8 text, element 0 included.
ShortcutConfig parseShortcut(const std::vector<std::string>& arguments);

}  // namespace qen
