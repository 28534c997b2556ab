#include "app/arguments.h"

#include <algorithm>

#include "shortcut/shortcut.h"
#include "shortcut/unicode_text.h"

namespace qen {

std::vector<std::string> argumentVector(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(unicode::toValidUtf8(argv[i]));
  return arguments;
}

bool hasFlag(const std::vector<std::string>& arguments, std::string_view flag) {
  auto option = std::find(arguments.begin(), arguments.end(), shortcutOption);
  auto shortcutValue = option == arguments.end() ? option : std::next(option);
  for (auto element = arguments.begin(); element != arguments.end(); ++element) {
    if (element != shortcutValue && *element == flag) return true;
  }
  return false;
}

}  // namespace qen
