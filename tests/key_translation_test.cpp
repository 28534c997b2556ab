#include "platform/linux/key_translation.h"

#include <gtest/gtest.h>

namespace qen::platform::evdev {
namespace {

constexpr ModifierFlags fnBit = 0x800000;
constexpr ModifierFlags shiftBit = 0x20000;
constexpr KeyboardId first = 1;
constexpr KeyboardId second = 2;

struct ModifierCase {
  std::uint16_t code;
  ModifierFlags bit;
};

void PrintTo(const ModifierCase& c, std::ostream* os) { *os << "key " << c.code; }

class Modifier : public testing::TestWithParam<ModifierCase> {};

TEST_P(Modifier, PressAndReleaseAreFlagsChangedAutorepeatIsNothing) {
  KeyTranslator translator;
  auto press = translator.translate(first, GetParam().code, 1);
  ASSERT_TRUE(press);
  EXPECT_EQ(press->type, flagsChangedMask);
  EXPECT_EQ(press->modifierFlags, GetParam().bit);
  EXPECT_FALSE(translator.translate(first, GetParam().code, 2));
  auto release = translator.translate(first, GetParam().code, 0);
  ASSERT_TRUE(release);
  EXPECT_EQ(release->type, flagsChangedMask);
  EXPECT_EQ(release->modifierFlags, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, Modifier,
    testing::Values(ModifierCase{KEY_FN, 0x800000}, ModifierCase{KEY_LEFTSHIFT, 0x20000},
                    ModifierCase{KEY_RIGHTSHIFT, 0x20000}, ModifierCase{KEY_LEFTCTRL, 0x40000},
                    ModifierCase{KEY_RIGHTCTRL, 0x40000}, ModifierCase{KEY_LEFTALT, 0x80000},
                    ModifierCase{KEY_RIGHTALT, 0x80000}, ModifierCase{KEY_LEFTMETA, 0x100000},
                    ModifierCase{KEY_RIGHTMETA, 0x100000}, ModifierCase{KEY_CAPSLOCK, 0x10000}));

TEST(KeyTranslation, SpaceIsKeyCode49WithASpaceCharacterDownAndUp) {
  KeyTranslator translator;
  translator.translate(first, KEY_FN, 1);
  for (int value : {1, 2}) {
    auto down = translator.translate(first, KEY_SPACE, value);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->type, keyDownMask);
    EXPECT_EQ(down->keyCode, 49);
    EXPECT_EQ(down->modifierFlags, fnBit);
    EXPECT_EQ(down->charactersIgnoringModifiers, " ");
  }
  EXPECT_FALSE(translator.translate(first, KEY_SPACE, 0));
  translator.reportKeyUps();
  translator.translate(first, KEY_SPACE, 1);
  auto up = translator.translate(first, KEY_SPACE, 0);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->type, keyUpMask);
  EXPECT_EQ(up->keyCode, 49);
  EXPECT_EQ(up->modifierFlags, fnBit);
  EXPECT_EQ(up->charactersIgnoringModifiers, " ");
  EXPECT_EQ(translator.translate(first, KEY_FN, 0)->type, flagsChangedMask);  // never a key-up
}

TEST(KeyTranslation, OtherKeysHaveNoCharactersAndUnknownOnesNoCode) {
  KeyTranslator translator;
  auto letter = translator.translate(first, KEY_A, 1);
  ASSERT_TRUE(letter);
  EXPECT_EQ(letter->keyCode, 0x00);
  EXPECT_FALSE(letter->charactersIgnoringModifiers);
  EXPECT_EQ(translator.translate(first, KEY_MUTE, 1)->keyCode, 0xFFFF);
  EXPECT_EQ(virtualKeyCode(KEY_RESERVED), 0xFFFF);
  EXPECT_EQ(virtualKeyCode(KEY_ENTER), 0x24);
  EXPECT_EQ(virtualKeyCode(KEY_UP), 0x7E);
}

TEST(KeyTranslation, IgnoresCodesAndValuesOutOfRange) {
  KeyTranslator translator;
  EXPECT_FALSE(translator.translate(first, KEY_CNT, 1));
  EXPECT_FALSE(translator.translate(first, KEY_FN, 3));
  EXPECT_FALSE(translator.translate(first, KEY_FN, -1));
  EXPECT_EQ(translator.modifierFlags(), 0u);
}

TEST(KeyTranslation, AKeyCountsAsHeldWhileAnyKeyboardHoldsIt) {
  KeyTranslator translator;
  translator.translate(first, KEY_FN, 1);
  EXPECT_EQ(translator.translate(second, KEY_FN, 1)->modifierFlags, fnBit);
  EXPECT_EQ(translator.translate(first, KEY_FN, 0)->modifierFlags, fnBit);
  EXPECT_EQ(translator.translate(second, KEY_SPACE, 1)->modifierFlags, fnBit);
  EXPECT_EQ(translator.translate(second, KEY_FN, 0)->modifierFlags, 0u);
}

TEST(KeyTranslation, LeftAndRightShareTheirBit) {
  KeyTranslator translator;
  translator.translate(first, KEY_LEFTSHIFT, 1);
  translator.translate(first, KEY_RIGHTSHIFT, 1);
  EXPECT_EQ(translator.translate(first, KEY_LEFTSHIFT, 0)->modifierFlags, shiftBit);
}

TEST(KeyTranslation, RepeatedReleaseDoesNotUnderflow) {
  KeyTranslator translator;
  translator.translate(first, KEY_FN, 1);
  translator.translate(second, KEY_FN, 0);  // never pressed there
  translator.translate(second, KEY_FN, 0);
  EXPECT_EQ(translator.modifierFlags(), fnBit);
}

TEST(KeyTranslation, KeysHeldAtOpenJoinSilently) {
  KeyTranslator translator;
  std::uint16_t held[] = {KEY_FN, KEY_A};
  translator.joinKeyboard(first, held);
  EXPECT_EQ(translator.modifierFlags(), fnBit);
  EXPECT_EQ(translator.translate(first, KEY_SPACE, 1)->modifierFlags, fnBit);
}

TEST(KeyTranslation, RemovedKeyboardReleasesItsKeys) {
  KeyTranslator translator;
  translator.translate(first, KEY_FN, 1);
  translator.translate(first, KEY_LEFTSHIFT, 1);
  translator.translate(second, KEY_LEFTSHIFT, 1);
  auto removal = translator.removeKeyboard(first);
  ASSERT_TRUE(removal);
  EXPECT_EQ(removal->type, flagsChangedMask);
  EXPECT_EQ(removal->modifierFlags, shiftBit);
  EXPECT_FALSE(translator.removeKeyboard(first));
  // Nothing changes when the other keyboard still holds the same keys.
  translator.translate(first, KEY_LEFTSHIFT, 1);
  EXPECT_FALSE(translator.removeKeyboard(first));
  EXPECT_EQ(translator.removeKeyboard(second)->modifierFlags, 0u);
}

}  // namespace
}  // namespace qen::platform::evdev
