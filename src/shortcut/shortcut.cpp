#include "shortcut/shortcut.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "shortcut/unicode_text.h"

namespace qen {
namespace {

constexpr std::array<std::string_view, 3> fnAliases = {"fn", "function", "globe"};
constexpr std::string_view spaceKeyName = "space";

using platform::FnKey;

struct FnKeyName {
  std::string_view name;
  FnKey key;
};

// Canonical names first: fnKeyName() takes the first name of a key.
constexpr FnKeyName fnKeyNames[] = {
    {"fn", FnKey::fn},
    {"rightctrl", FnKey::rightControl},
    {"rightalt", FnKey::rightOption},
    {"rightmeta", FnKey::rightCommand},
    {"f13", FnKey::f13},
    {"f14", FnKey::f14},
    {"f15", FnKey::f15},
    {"f16", FnKey::f16},
    {"f17", FnKey::f17},
    {"f18", FnKey::f18},
    {"f19", FnKey::f19},
    {"f20", FnKey::f20},
    {"rightcontrol", FnKey::rightControl},
    {"rightoption", FnKey::rightOption},
    {"rightcommand", FnKey::rightCommand},
    {"rightsuper", FnKey::rightCommand},
};

std::string normaliseToken(std::string_view text) {
  return unicode::lowercased(unicode::trimWhitespaceAndNewlines(text));
}

bool isFnAlias(const std::string& token) {
  return std::find(fnAliases.begin(), fnAliases.end(), token) != fnAliases.end();
}

// Cuts at every "+" that stands alone as a user-perceived character, then
// trims and lowercases each piece, keeping the non-empty ones.
std::vector<std::string> tokenize(std::string_view value) {
  std::vector<std::string> tokens;
  std::string piece;
  auto finishPiece = [&] {
    auto token = normaliseToken(piece);
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

HelperError HelperError::unsupportedFnKey(std::string normalisedName) {
  return HelperError(Kind::unsupportedFnKey, std::move(normalisedName));
}

HelperError HelperError::missingFnKey() { return HelperError(Kind::missingFnKey, {}); }

std::string HelperError::errorDescription() const {
  switch (kind_) {
    case Kind::missingShortcut:
      return "Missing --shortcut argument.";
    case Kind::unsupportedShortcut:
      return "Unsupported native shortcut: " + shortcut_ +
             ". This helper currently supports Fn and Fn+Space.";
    case Kind::missingFnKey:
      return "Missing value for --fn-key.";
    case Kind::unsupportedFnKey:
      break;
  }
  return "Unsupported Fn key: " + shortcut_ +
         ". Use fn, rightctrl, rightalt, rightmeta or f13 to f20.";
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

platform::FnKey parseFnKey(std::string_view value) {
  // One name, so a "+" is part of it rather than a cut.
  auto name = normaliseToken(value);
  for (const auto& entry : fnKeyNames) {
    if (entry.name == name) return entry.key;
  }
  throw HelperError::unsupportedFnKey(std::move(name));
}

std::string_view fnKeyName(platform::FnKey key) {
  for (const auto& entry : fnKeyNames) {
    if (entry.key == key) return entry.name;
  }
  return "fn";
}

}  // namespace qen
