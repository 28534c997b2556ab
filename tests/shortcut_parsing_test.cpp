#include <gtest/gtest.h>

#include "shortcut/shortcut.h"
#include "shortcut/unicode_text.h"

namespace qen {
namespace {

struct ValueCase {
  std::string value;
  std::optional<ShortcutConfig> accepted;  // else unsupportedShortcut carrying `carried`
  std::string carried;
};

const ShortcutConfig fn{"Fn", Mode::fnOnly};
const ShortcutConfig fnSpace{"Fn+Space", Mode::fnSpace};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << testing::PrintToString(c.value); }

class ShortcutValue : public testing::TestWithParam<ValueCase> {};

TEST_P(ShortcutValue, ParsesToConfigOrCarriesNormalisedTokens) {
  const auto& c = GetParam();
  std::vector<std::string> arguments{"/usr/bin/qen-hotkey-helper", "--shortcut", c.value};
  if (c.accepted) {
    EXPECT_EQ(parseShortcut(arguments), *c.accepted);
    return;
  }
  try {
    parseShortcut(arguments);
    FAIL() << "accepted " << c.value;
  } catch (const HelperError& error) {
    EXPECT_EQ(error.kind(), HelperError::Kind::unsupportedShortcut);
    EXPECT_EQ(error.shortcut(), c.carried);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, ShortcutValue,
    testing::Values(ValueCase{"fn", fn, ""}, ValueCase{"Fn", fn, ""}, ValueCase{" FN ", fn, ""},
                    ValueCase{"globe", fn, ""}, ValueCase{"Function", fn, ""},
                    ValueCase{"fn+fn", fn, ""}, ValueCase{"fn+globe", fn, ""},
                    ValueCase{"fn+space", fnSpace, ""}, ValueCase{"Space + Fn", fnSpace, ""},
                    ValueCase{"FN+SPACE", fnSpace, ""}, ValueCase{"fn++space", fnSpace, ""},
                    ValueCase{"fn+ +space", fnSpace, ""}, ValueCase{"+fn+space+", fnSpace, ""},
                    ValueCase{"fn+Space\n", fnSpace, ""}, ValueCase{"\tfn+space\r\n", fnSpace, ""},
                    ValueCase{"globe+space+function", fnSpace, ""},
                    ValueCase{"fn+space+fn", fnSpace, ""},
                    ValueCase{"\u3000fn\u00A0+\u2028space\u0085", fnSpace, ""},
                    ValueCase{"fn+space+space", std::nullopt, "fn+space+space"},
                    ValueCase{"space", std::nullopt, "space"},
                    ValueCase{"cmd+k", std::nullopt, "cmd+k"},
                    ValueCase{"Fn + Cmd", std::nullopt, "fn+cmd"},
                    ValueCase{"fn+spacebar", std::nullopt, "fn+spacebar"},
                    ValueCase{"fn space", std::nullopt, "fn space"},
                    ValueCase{"FN+\u00C4", std::nullopt, "fn+\u00E4"},
                    ValueCase{"fn+\u0301space", std::nullopt, "fn+\u0301space"},
                    ValueCase{"", std::nullopt, ""}, ValueCase{"+", std::nullopt, ""},
                    ValueCase{"   ", std::nullopt, ""},
                    // Full lowercase mapping: one code point to two, and no final sigma.
                    ValueCase{"fn+\u0130", std::nullopt, "fn+i\u0307"},
                    ValueCase{"fn+\u03A3\u03A3", std::nullopt, "fn+\u03C3\u03C3"},
                    // Blanks that are not whitespace-and-newline stay.
                    ValueCase{"fn+\u200Bspace", std::nullopt, "fn+\u200Bspace"},
                    // Fullwidth letters are other letters, not the Fn key.
                    ValueCase{"\uFF26\uFF2E", std::nullopt, "\uFF46\uFF4E"}));

struct ArgumentsCase {
  std::vector<std::string> arguments;  // after the program path
  std::optional<ShortcutConfig> accepted;
  std::optional<std::string> unsupportedCarrying;  // else missingShortcut
};

void PrintTo(const ArgumentsCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.arguments);
}

class ShortcutArguments : public testing::TestWithParam<ArgumentsCase> {};

TEST_P(ShortcutArguments, FindsTheFirstOptionAndItsValue) {
  const auto& c = GetParam();
  std::vector<std::string> arguments{"helper"};
  arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
  if (c.accepted) {
    EXPECT_EQ(parseShortcut(arguments), *c.accepted);
    return;
  }
  try {
    parseShortcut(arguments);
    FAIL() << "accepted";
  } catch (const HelperError& error) {
    if (c.unsupportedCarrying) {
      EXPECT_EQ(error.kind(), HelperError::Kind::unsupportedShortcut);
      EXPECT_EQ(error.shortcut(), *c.unsupportedCarrying);
    } else {
      EXPECT_EQ(error.kind(), HelperError::Kind::missingShortcut);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ShortcutArguments,
    testing::Values(ArgumentsCase{{}, std::nullopt, std::nullopt},
                    ArgumentsCase{{"--shortcut"}, std::nullopt, std::nullopt},
                    ArgumentsCase{{"--shortcut=fn"}, std::nullopt, std::nullopt},
                    ArgumentsCase{{"--SHORTCUT", "fn"}, std::nullopt, std::nullopt},
                    ArgumentsCase{{"fn", "--shortcut"}, std::nullopt, std::nullopt},
                    ArgumentsCase{{"--shortcut", "fn", "--shortcut", "cmd"}, fn, std::nullopt},
                    ArgumentsCase{{"--shortcut", "--shortcut", "fn"}, std::nullopt, "--shortcut"},
                    ArgumentsCase{{"--shortcut", "--prompt-accessibility"},
                                  std::nullopt,
                                  "--prompt-accessibility"},
                    ArgumentsCase{{"--prompt-accessibility", "--shortcut", "fn+space"},
                                  fnSpace,
                                  std::nullopt}));

struct FnKeyCase {
  std::string value;
  std::string canonical;  // empty: unsupportedFnKey carrying `carried`
  std::string carried = "";
};

void PrintTo(const FnKeyCase& c, std::ostream* os) { *os << testing::PrintToString(c.value); }

class FnKeyValue : public testing::TestWithParam<FnKeyCase> {};

TEST_P(FnKeyValue, NamesAKeyByItsCanonicalNameOrCarriesTheNormalisedValue) {
  const auto& c = GetParam();
  if (!c.canonical.empty()) {
    EXPECT_EQ(fnKeyName(parseFnKey(c.value)), c.canonical);
    return;
  }
  try {
    parseFnKey(c.value);
    FAIL() << "accepted " << c.value;
  } catch (const HelperError& error) {
    EXPECT_EQ(error.kind(), HelperError::Kind::unsupportedFnKey);
    EXPECT_EQ(error.shortcut(), c.carried);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, FnKeyValue,
    testing::Values(FnKeyCase{"fn", "fn"}, FnKeyCase{"rightctrl", "rightctrl"},
                    FnKeyCase{"RightControl", "rightctrl"}, FnKeyCase{"rightalt", "rightalt"},
                    FnKeyCase{"rightoption", "rightalt"}, FnKeyCase{"rightmeta", "rightmeta"},
                    FnKeyCase{"rightcommand", "rightmeta"}, FnKeyCase{"RIGHTSUPER", "rightmeta"},
                    FnKeyCase{"f13", "f13"}, FnKeyCase{"F14", "f14"}, FnKeyCase{"f15", "f15"},
                    FnKeyCase{"f16", "f16"}, FnKeyCase{"f17", "f17"}, FnKeyCase{"f18", "f18"},
                    FnKeyCase{"f19", "f19"}, FnKeyCase{"\tF20\n", "f20"},
                    FnKeyCase{"\u3000RightAlt\u00A0", "rightalt"},
                    // One name: neither cut at "+" nor at blanks inside it.
                    FnKeyCase{"rightctrl+", "", "rightctrl+"}, FnKeyCase{"+f13", "", "+f13"},
                    FnKeyCase{"right ctrl", "", "right ctrl"}, FnKeyCase{"globe", "", "globe"},
                    FnKeyCase{"f12", "", "f12"}, FnKeyCase{"f21", "", "f21"},
                    FnKeyCase{"leftctrl", "", "leftctrl"}, FnKeyCase{"capslock", "", "capslock"},
                    FnKeyCase{" ", "", ""}, FnKeyCase{"--shortcut", "", "--shortcut"},
                    FnKeyCase{"\u0130", "", "i\u0307"}));

TEST(ShortcutParsing, ProgramPathIsAnElementLikeAnyOther) {
  EXPECT_EQ(parseShortcut({"--shortcut", "fn"}), fn);
}

TEST(HelperErrorText, IsTheEventMessage) {
  EXPECT_EQ(HelperError::missingShortcut().errorDescription(), "Missing --shortcut argument.");
  EXPECT_EQ(HelperError::missingFnKey().errorDescription(), "Missing value for --fn-key.");
  EXPECT_EQ(HelperError::unsupportedFnKey("caps lock").errorDescription(),
            "Unsupported Fn key: caps lock. Use fn, rightctrl, rightalt, rightmeta or f13 to f20.");
  EXPECT_EQ(HelperError::unsupportedShortcut("fn+cmd").errorDescription(),
            "Unsupported native shortcut: fn+cmd. This helper currently supports Fn and Fn+Space.");
  EXPECT_EQ(HelperError::unsupportedShortcut("").errorDescription(),
            "Unsupported native shortcut: . This helper currently supports Fn and Fn+Space.");
}

TEST(ArgumentText, IllFormedUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(unicode::toValidUtf8("fn\xFF+\xC3"), "fn\uFFFD+\uFFFD");
  EXPECT_EQ(unicode::toValidUtf8("\xED\xA0\x80"), "\uFFFD\uFFFD\uFFFD");  // a surrogate
  EXPECT_EQ(unicode::toValidUtf8("gl\u00F6be"), "gl\u00F6be");
}

TEST(GraphemeClusters, APlusJoinedToACombiningMarkDoesNotCut) {
  EXPECT_EQ(unicode::graphemeClusters("a+\u0301b"),
            (std::vector<std::string>{"a", "+\u0301", "b"}));
  EXPECT_EQ(unicode::graphemeClusters("\r\n+"), (std::vector<std::string>{"\r\n", "+"}));
}

TEST(GraphemeClusters, AsciiIsCutAsUtf8procCutsIt) {
  // ASCII alone is cut without utf8proc; with an "é" after it, utf8proc cuts.
  for (int first = 0; first < 0x80; ++first) {
    for (int second = 0; second < 0x80; ++second) {
      std::string ascii{static_cast<char>(first), static_cast<char>(second)};
      auto clusters = unicode::graphemeClusters(ascii + "\u00E9");
      clusters.pop_back();
      ASSERT_EQ(unicode::graphemeClusters(ascii), clusters) << first << ' ' << second;
    }
  }
}

}  // namespace
}  // namespace qen
