#include "platform/linux/key_translation.h"

#include <gtest/gtest.h>

#include "platform/macos/fn_key_translation.h"

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

struct NamedKeyCase {
  FnKey key;
  std::uint16_t code;
  std::uint16_t leftTwin = 0;  // a named right-hand modifier's
  ModifierFlags twinBit = 0;
  std::uint32_t x11Keycode = 0;  // the X server's, for the keys that reach it
};

void PrintTo(const NamedKeyCase& c, std::ostream* os) { *os << "key " << c.code; }

class NamedKey : public testing::TestWithParam<NamedKeyCase> {};

TEST_P(NamedKey, HoldsTheFnBitAndTheRealFnIsNoKey) {
  const auto& c = GetParam();
  ASSERT_EQ(kernelCode(c.key), c.code);
  if (c.x11Keycode) {
    EXPECT_EQ(kernelCodeOfX11Keycode(c.x11Keycode), c.code);
  }
  KeyTranslator translator;
  translator.setFnKey(c.code);
  std::uint16_t heldAtOpen[] = {KEY_FN};
  translator.joinKeyboard(second, heldAtOpen);
  EXPECT_EQ(translator.modifierFlags(), c.key == FnKey::fn ? fnBit : 0u);
  translator.removeKeyboard(second);
  EXPECT_EQ(translator.translate(first, c.code, 1)->modifierFlags, fnBit);
  EXPECT_FALSE(translator.translate(first, c.code, 2));
  if (c.key != FnKey::fn) {
    EXPECT_FALSE(translator.translate(first, KEY_FN, 1));
    EXPECT_FALSE(translator.translate(first, KEY_FN, 0));
  }
  if (c.leftTwin) {
    EXPECT_EQ(translator.translate(first, c.leftTwin, 1)->modifierFlags, fnBit | c.twinBit);
    EXPECT_EQ(translator.translate(first, c.leftTwin, 0)->modifierFlags, fnBit);
  }
  auto up = translator.translate(first, c.code, 0);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->type, flagsChangedMask);
  EXPECT_EQ(up->modifierFlags, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, NamedKey,
    testing::Values(
        NamedKeyCase{FnKey::fn, KEY_FN},
        NamedKeyCase{FnKey::rightControl, KEY_RIGHTCTRL, KEY_LEFTCTRL, 0x40000, 105},
        NamedKeyCase{FnKey::rightOption, KEY_RIGHTALT, KEY_LEFTALT, 0x80000, 108},
        NamedKeyCase{FnKey::rightCommand, KEY_RIGHTMETA, KEY_LEFTMETA, 0x100000, 134},
        NamedKeyCase{FnKey::f13, KEY_F13, 0, 0, 191}, NamedKeyCase{FnKey::f14, KEY_F14, 0, 0, 192},
        NamedKeyCase{FnKey::f15, KEY_F15, 0, 0, 193}, NamedKeyCase{FnKey::f16, KEY_F16, 0, 0, 194},
        NamedKeyCase{FnKey::f17, KEY_F17, 0, 0, 195}, NamedKeyCase{FnKey::f18, KEY_F18, 0, 0, 196},
        NamedKeyCase{FnKey::f19, KEY_F19, 0, 0, 197},
        NamedKeyCase{FnKey::f20, KEY_F20, 0, 0, 198}));

// The keycodes of X's evdev keymap, whose numbers end at 255: Fn's never
// arrives.
TEST(KeyTranslation, X11KeycodesOfTheEvdevKeymap) {
  std::pair<std::uint32_t, std::uint16_t> keys[] = {
      {9, KEY_ESC},      {38, KEY_A},         {65, KEY_SPACE},     {37, KEY_LEFTCTRL},
      {64, KEY_LEFTALT}, {133, KEY_LEFTMETA}, {50, KEY_LEFTSHIFT}, {66, KEY_CAPSLOCK}};
  for (auto [keycode, code] : keys) EXPECT_EQ(kernelCodeOfX11Keycode(keycode), code) << keycode;
  for (std::uint32_t none : {0u, 7u, 256u, 472u}) EXPECT_FALSE(kernelCodeOfX11Keycode(none));
  for (std::uint32_t keycode = 0; keycode < 1024; ++keycode) {
    EXPECT_NE(kernelCodeOfX11Keycode(keycode), KEY_FN) << keycode;
  }
}

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

// AppKit's side, as its documentation gives the key codes and the
// device-dependent modifier bits.
namespace qen::platform::macos {
namespace {

constexpr ModifierFlags fnBit = 0x800000;
constexpr ModifierFlags shiftBit = 0x20000;

DesktopEvent flags(ModifierFlags modifierFlags, std::uint16_t code = 0) {
  return {.type = flagsChangedMask, .modifierFlags = modifierFlags, .keyCode = code};
}
DesktopEvent keyDown(std::uint16_t code, ModifierFlags modifierFlags = 0) {
  return {.type = keyDownMask, .modifierFlags = modifierFlags, .keyCode = code};
}
DesktopEvent keyUp(std::uint16_t code, ModifierFlags modifierFlags = 0) {
  return {.type = keyUpMask, .modifierFlags = modifierFlags, .keyCode = code};
}

// What the core must see of one event: nothing, one event, or more in order.
struct Seen {
  Seen(std::nullopt_t) {}
  Seen(DesktopEvent event) : events{std::move(event)} {}
  Seen(std::initializer_list<DesktopEvent> list) : events(list) {}
  std::vector<DesktopEvent> events;
};

struct MacStep {
  DesktopEvent event;
  bool isRepeat = false;
  Seen seen = std::nullopt;
  bool systemHoldsKey = true;  // the system's answer, if asked, for the key in Fn's part
};

struct MacCase {
  std::string name;
  FnKey key;
  std::vector<MacStep> steps;
};

void PrintTo(const MacCase& c, std::ostream* os) { *os << c.name; }

class MacTranslation : public testing::TestWithParam<MacCase> {};

TEST_P(MacTranslation, ShowsTheNamedKeyAsTheFnBit) {
  bool systemHoldsKey = true;
  FnKeyTranslation translation(GetParam().key, [&](std::uint16_t code) {
    EXPECT_EQ(code, virtualKeyCode(GetParam().key));
    return systemHoldsKey;
  });
  for (std::size_t i = 0; i < GetParam().steps.size(); ++i) {
    const auto& step = GetParam().steps[i];
    systemHoldsKey = step.systemHoldsKey;
    auto seen = translation.translate(step.event, step.isRepeat);
    const auto& expected = step.seen.events;
    ASSERT_EQ(seen.size(), expected.size()) << "step " << i;
    for (std::size_t j = 0; j < expected.size(); ++j) {
      const auto& event = *(seen.begin() + j);
      EXPECT_EQ(event.type, expected[j].type) << "step " << i << ", event " << j;
      EXPECT_EQ(event.modifierFlags, expected[j].modifierFlags) << "step " << i << ", event " << j;
      EXPECT_EQ(event.keyCode, expected[j].keyCode) << "step " << i << ", event " << j;
    }
  }
}

constexpr ModifierFlags control = 0x40000, option = 0x80000, command = 0x100000;

INSTANTIATE_TEST_SUITE_P(
    Keys, MacTranslation,
    testing::Values(
        MacCase{"FnUnchanged",
                FnKey::fn,
                {{flags(fnBit), false, flags(fnBit)},
                 {keyDown(105, fnBit), true, keyDown(105, fnBit)}}},
        // Right Control: key code 62, device bit 0x2000; the left one's is 0x1.
        MacCase{"RightControl",
                FnKey::rightControl,
                {{flags(control | 0x2000), false, flags(0x2000 | fnBit)},
                 {flags(control | 0x2000 | 0x1), false, flags(control | 0x2001 | fnBit)},
                 {flags(control | 0x2000), false, flags(0x2000 | fnBit)},
                 {keyDown(49, control | 0x2000), false, keyDown(49, 0x2000 | fnBit)},
                 {flags(0), false, flags(0)},
                 {flags(control | 0x1), false, flags(control | 0x1)},
                 // No side and no key of its own told: as last known.
                 {flags(control), false, flags(control)}}},
        MacCase{"RightOption",
                FnKey::rightOption,
                {{flags(option | 0x40), false, flags(0x40 | fnBit)},
                 {flags(option | 0x60), false, flags(option | 0x60 | fnBit)},
                 {flags(option | 0x20), false, flags(option | 0x20)}}},
        MacCase{"RightCommand",
                FnKey::rightCommand,
                {{flags(command | 0x10), false, flags(0x10 | fnBit)},
                 {flags(command | 0x18), false, flags(command | 0x18 | fnBit)},
                 {flags(command | 0x8), false, flags(command | 0x8)}}},
        // Screen sharing, remote control and synthetic events may carry no
        // device bits: the flags-changed event's key code tells the side.
        MacCase{"RightKeyCodeWithoutSides",
                FnKey::rightControl,
                {{flags(control, 62), false, flags(fnBit, 62)},
                 {keyDown(49, control), false, keyDown(49, fnBit)},
                 {flags(control | shiftBit, 56), false, flags(shiftBit | fnBit, 56)},
                 {flags(control, 56), false, flags(fnBit, 56)},
                 {flags(0, 62), false, flags(0, 62)},
                 {keyDown(49, control), false, keyDown(49, control)}}},
        MacCase{"LeftKeyCodeWithoutSides",
                FnKey::rightCommand,
                {{flags(command, 55), false, flags(command, 55)},
                 {keyDown(49, command), false, keyDown(49, command)},
                 {flags(0, 55), false, flags(0, 55)}}},
        MacCase{"BothHeldOneReleasedWithoutSides",
                FnKey::rightOption,
                {{flags(option, 58), false, flags(option, 58)},
                 {flags(option, 61), false, flags(option | fnBit, 61)},
                 {flags(option, 58), false, flags(fnBit, 58)},
                 {flags(option, 58), false, flags(option | fnBit, 58)},
                 {flags(option, 61), false, flags(option, 61)},
                 {flags(0, 58), false, flags(0, 58)}}},
        // A device bit without its modifier's bit is not believed.
        MacCase{"StaleDeviceBit",
                FnKey::rightCommand,
                {{flags(command | 0x10, 54), false, flags(0x10 | fnBit, 54)},
                 {flags(0x10, 54), false, flags(0x10, 54)},
                 {keyDown(49, 0x10), false, keyDown(49, 0x10)}}},
        MacCase{"RealFnIgnored",
                FnKey::rightCommand,
                {{flags(fnBit), false, flags(0)}, {keyDown(126, fnBit), false, keyDown(126)}}},
        // F13 is key code 105, and AppKit gives it the Fn flag of its own.
        MacCase{"F13DownRepeatUp",
                FnKey::f13,
                {{keyDown(105, fnBit), false, flags(fnBit)},
                 {keyDown(105, fnBit), true, std::nullopt},
                 {flags(shiftBit | fnBit), false, flags(shiftBit | fnBit)},
                 {keyDown(49), false, keyDown(49, fnBit)},
                 {keyUp(105, fnBit), false, flags(0)},
                 {flags(fnBit), false, flags(0)},
                 {keyDown(49), false, keyDown(49)}}},
        MacCase{"FKeyCodes",
                FnKey::f20,
                {{keyDown(105), false, keyDown(105)},
                 {keyDown(90), false, flags(fnBit)},
                 {keyUp(90), false, flags(0)}}},
        // Its key-up was lost: a new press while it is held releases it first.
        MacCase{"FKeyPressedAgainWhileHeld",
                FnKey::f16,
                {{keyDown(106), false, flags(fnBit)},
                 {keyDown(106, shiftBit), false, Seen{flags(shiftBit), flags(shiftBit | fnBit)}},
                 {keyDown(106), true, std::nullopt},
                 {keyUp(106), false, flags(0)},
                 {keyDown(106), false, flags(fnBit)}}},
        // Its key-up was lost, and the system no longer holds it: the next
        // event of any kind lets it go first.
        MacCase{"FKeyUpLost",
                FnKey::f13,
                {{keyDown(105), false, flags(fnBit)},
                 {keyDown(49), false, keyDown(49, fnBit)},
                 {keyUp(49), false, Seen{flags(0), keyUp(49)}, false},
                 {keyDown(49), false, keyDown(49), false},
                 {keyDown(105), false, flags(fnBit)},
                 {flags(shiftBit), false, Seen{flags(shiftBit), flags(shiftBit)}, false},
                 {keyUp(105), false, flags(0), false}}},
        // The system did not hold it at its own press (posted past the HID
        // system, or the state withheld): its answers tell nothing then.
        MacCase{"FKeyStateUnknown",
                FnKey::f13,
                {{keyDown(105), false, flags(fnBit), false},
                 {keyDown(49), false, keyDown(49, fnBit), false},
                 {keyUp(105), false, flags(0), false}}}),
    [](const auto& info) { return info.param.name; });

TEST(MacTranslation, AnFKeyInFnsPartIsWatchedThroughKeyEvents) {
  EXPECT_EQ(FnKeyTranslation(FnKey::f13).watchedEvents(flagsChangedMask),
            flagsChangedMask | keyDownMask | keyUpMask);
  EXPECT_EQ(FnKeyTranslation(FnKey::f13).watchedEvents(keyDownMask), keyDownMask);
  EXPECT_EQ(FnKeyTranslation(FnKey::rightControl).watchedEvents(flagsChangedMask),
            flagsChangedMask);
  EXPECT_EQ(FnKeyTranslation().watchedEvents(flagsChangedMask), flagsChangedMask);
  std::pair<FnKey, std::uint16_t> codes[] = {
      {FnKey::rightControl, 62}, {FnKey::rightOption, 61}, {FnKey::rightCommand, 54},
      {FnKey::f13, 105},         {FnKey::f14, 107},        {FnKey::f15, 113},
      {FnKey::f16, 106},         {FnKey::f17, 64},         {FnKey::f18, 79},
      {FnKey::f19, 80},          {FnKey::f20, 90}};
  for (auto [key, code] : codes) EXPECT_EQ(virtualKeyCode(key), code) << code;
}

}  // namespace
}  // namespace qen::platform::macos
