#include "app/arguments.h"

#include <algorithm>

#include "shortcut/unicode_text.h"

namespace qen {
namespace {

constexpr std::string_view promptOption = "--prompt-accessibility";
constexpr std::string_view reportReleaseOption = "--report-release";
constexpr std::string_view diagnoseOption = "--diagnose";

using Element = std::vector<std::string>::const_iterator;

Element shortcutValue(const std::vector<std::string>& arguments) {
  auto option = std::find(arguments.begin(), arguments.end(), shortcutOption);
  return option == arguments.end() ? option : std::next(option);
}

// The first element that is exactly option, other than the shortcut's value.
Element findOption(const std::vector<std::string>& arguments, std::string_view option) {
  auto skipped = shortcutValue(arguments);
  for (auto element = arguments.begin(); element != arguments.end(); ++element) {
    if (element != skipped && *element == option) return element;
  }
  return arguments.end();
}

// The element after --fn-key is its value whatever it looks like, so that a
// forgotten name fails loudly instead of taking the next option for one.
std::optional<platform::FnKey> fnKeyOptionValue(const std::vector<std::string>& arguments) {
  auto option = findOption(arguments, fnKeyOption);
  if (option == arguments.end()) return std::nullopt;
  if (std::next(option) == arguments.end()) throw HelperError::missingFnKey();
  return parseFnKey(*std::next(option));
}

bool hasFlag(const std::vector<std::string>& arguments, std::string_view flag) {
  return findOption(arguments, flag) != arguments.end();
}

}  // namespace

std::vector<std::string> argumentVector(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(unicode::toValidUtf8(argv[i]));
  return arguments;
}

HelperOptions parseOptions(const std::vector<std::string>& arguments) {
  HelperOptions options{.diagnose = hasFlag(arguments, diagnoseOption),
                        .promptAccessibility = hasFlag(arguments, promptOption),
                        .reportRelease = hasFlag(arguments, reportReleaseOption)};
  if (!options.diagnose) options.shortcut = parseShortcut(arguments);
  options.fnKey = fnKeyOptionValue(arguments);
  return options;
}

}  // namespace qen
