#include "shortcut/shortcut.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "shortcut/unicode_text.h"

namespace qen {
namespace {

constexpr std::array<std::string_view, 3> fnAliases = {"fn", "function", "globe"};
constexpr std::string_view spaceKeyName = "space";

bool isFnAlias(const std::string& token) {
  return std::find(fnAliases.begin(), fnAliases.end(), token) != fnAliases.end();
}

// Cuts at every "+" that stands alone as a user-perceived character, then
// trims and lowercases each piece, keeping the non-empty ones.
std::vector<std::string> tokenize(std::string_view value) {
  std::vector<std::string> tokens;
  std::string piece;
  auto finishPiece = [&] {
    auto token = unicode::lowercased(unicode::trimWhitespaceAndNewlines(piece));
    if (!token.empty()) tokens.push_back(std::move(token));
    piece.clear();
  };
  for (const auto& cluster : unicode::graphemeClusters(value)) {
    if (cluster == "+") {
      finishPiece();
    } else {
      piece += cluster;
    }
  }
  finishPiece();
  return tokens;
}

std::string joinWithPlus(const std::vector<std::string>& tokens) {
  std::string joined;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (i > 0) joined += '+';
    joined += tokens[i];
  }
  return joined;
}

}  // namespace

HelperError HelperError::unsupportedShortcut(std::string normalisedShortcut) {
  return HelperError(Kind::unsupportedShortcut, std::move(normalisedShortcut));
}

HelperError HelperError::missingShortcut() { return HelperError(Kind::missingShortcut, {}); }

std::string HelperError::errorDescription() const {
  if (kind_ == Kind::missingShortcut) return "Missing --shortcut argument.";
  return "Unsupported native shortcut: " + shortcut_ +
         ". This helper currently supports Fn and Fn+Space.";
}

ShortcutConfig parseShortcut(const std::vector<std::string>& arguments) {
  auto option = std::find(arguments.begin(), arguments.end(), shortcutOption);
  if (option == arguments.end() || std::next(option) == arguments.end()) {
    throw HelperError::missingShortcut();
  }
  auto tokens = tokenize(*std::next(option));
  std::vector<std::string> otherTokens;
  std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(otherTokens),
               [](const std::string& token) { return !isFnAlias(token); });
  bool namesFn = otherTokens.size() < tokens.size();
  if (namesFn && otherTokens.empty()) return {"Fn", Mode::fnOnly};
  if (namesFn && otherTokens.size() == 1 && otherTokens.front() == spaceKeyName) {
    return {"Fn+Space", Mode::fnSpace};
  }
  throw HelperError::unsupportedShortcut(joinWithPlus(tokens));
}

}  // namespace qen
