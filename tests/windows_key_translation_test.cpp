// Windows' side, as the hook, raw input and Windows' documentation give the
// codes: the translation into the desktop's events, and the watch that tells
// when the hook is gone. Plain C++: it runs in the Linux build and under Wine.
#include <gtest/gtest.h>

#include "platform/windows/key_translation.h"

namespace qen::platform::windows {
namespace {

constexpr ModifierFlags fnBit = 0x800000;
constexpr ModifierFlags shiftBit = 0x20000, controlBit = 0x40000, optionBit = 0x80000,
                        commandBit = 0x100000, capsBit = 0x10000;

HookKey down(std::uint8_t key, std::uint32_t time = 0, std::uint16_t scanCode = 0) {
  return {.virtualKey = key, .scanCode = scanCode, .time = time};
}
HookKey up(std::uint8_t key, std::uint32_t time = 0, std::uint16_t scanCode = 0) {
  return {.virtualKey = key, .scanCode = scanCode, .up = true, .time = time};
}

DesktopEvent flags(ModifierFlags modifierFlags) {
  return {.type = flagsChangedMask, .modifierFlags = modifierFlags};
}
DesktopEvent keyDown(std::uint16_t code, ModifierFlags modifierFlags = 0) {
  return {.type = keyDownMask, .modifierFlags = modifierFlags, .keyCode = code};
}
DesktopEvent keyUp(std::uint16_t code, ModifierFlags modifierFlags = 0) {
  return {.type = keyUpMask, .modifierFlags = modifierFlags, .keyCode = code};
}

struct Step {
  HookKey key;
  std::vector<DesktopEvent> seen;  // as the core must see them
  std::uint32_t keysReportedUp = 0;
};

struct TranslationCase {
  std::string name;
  FnKey fnKey;
  std::vector<Step> steps;
  bool reportKeyUps = false;
};

void PrintTo(const TranslationCase& c, std::ostream* os) { *os << c.name; }

class WindowsTranslation : public testing::TestWithParam<TranslationCase> {};

TEST_P(WindowsTranslation, GivesTheDesktopsEvents) {
  std::vector<DesktopEvent> seen;
  KeyTranslator translator([&](const DesktopEvent& event) { seen.push_back(event); });
  translator.setFnKey(GetParam().fnKey);
  if (GetParam().reportKeyUps) translator.reportKeyUps();
  for (std::size_t i = 0; i < GetParam().steps.size(); ++i) {
    const auto& step = GetParam().steps[i];
    seen.clear();
    translator.translate(step.key, step.keysReportedUp);
    ASSERT_EQ(seen.size(), step.seen.size()) << "step " << i;
    for (std::size_t j = 0; j < seen.size(); ++j) {
      EXPECT_EQ(seen[j].type, step.seen[j].type) << "step " << i << " event " << j;
      EXPECT_EQ(seen[j].modifierFlags, step.seen[j].modifierFlags) << "step " << i;
      EXPECT_EQ(seen[j].keyCode, step.seen[j].keyCode) << "step " << i;
      bool space = seen[j].type != flagsChangedMask && seen[j].keyCode == 49;
      EXPECT_EQ(seen[j].charactersIgnoringModifiers,
                space ? std::optional<std::string>(" ") : std::nullopt)
          << "step " << i;
    }
  }
}

// A Left Ctrl is seen when the next event comes, which tells whether it was
// AltGr's: a tap of the Space bar after it does.
std::vector<Step> leftControlTap(ModifierFlags others = 0) {
  return {{down(vk::leftControl, 1), {}},
          {up(vk::leftControl, 2), {flags(others | controlBit)}},
          {down(vk::space, 3), {flags(others), keyDown(49, others)}}};
}

std::vector<TranslationCase> modifierCases() {
  std::pair<std::uint8_t, ModifierFlags> modifiers[] = {
      {vk::leftShift, shiftBit},  {vk::rightShift, shiftBit}, {vk::rightControl, controlBit},
      {vk::leftMenu, optionBit},  {vk::rightMenu, optionBit}, {vk::leftWin, commandBit},
      {vk::rightWin, commandBit}, {vk::capital, capsBit}};
  std::vector<TranslationCase> cases;
  for (auto [key, bit] : modifiers) {
    cases.push_back({"Modifier" + std::to_string(key),
                     FnKey::fn,
                     {{down(key), {flags(bit)}},
                      {down(key), {}},  // auto-repeat
                      {up(key), {flags(0)}},
                      {up(key), {}}}});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Modifiers, WindowsTranslation, testing::ValuesIn(modifierCases()),
                         [](const auto& info) { return info.param.name; });

std::vector<TranslationCase> namedKeyCases() {
  struct Named {
    std::string name;
    FnKey key;
    std::uint8_t virtualKey;
    std::uint8_t leftTwin;
    ModifierFlags twinBit;
  };
  Named named[] = {
      {"RightControl", FnKey::rightControl, vk::rightControl, vk::leftControl, controlBit},
      {"RightAlt", FnKey::rightOption, vk::rightMenu, vk::leftMenu, optionBit},
      {"RightWin", FnKey::rightCommand, vk::rightWin, vk::leftWin, commandBit},
      {"F13", FnKey::f13, 0x7C, 0, 0},
      {"F14", FnKey::f14, 0x7D, 0, 0},
      {"F15", FnKey::f15, 0x7E, 0, 0},
      {"F16", FnKey::f16, 0x7F, 0, 0},
      {"F17", FnKey::f17, 0x80, 0, 0},
      {"F18", FnKey::f18, 0x81, 0, 0},
      {"F19", FnKey::f19, 0x82, 0, 0},
      {"F20", FnKey::f20, 0x83, 0, 0},
  };
  std::vector<TranslationCase> cases;
  for (const auto& n : named) {
    std::vector<Step> steps = {{down(n.virtualKey, 10), {flags(fnBit)}},
                               {down(n.virtualKey, 11), {}}};  // auto-repeat
    if (n.leftTwin == vk::leftControl) {
      // Left Ctrl waits for the next event: here Space, let go at once.
      steps.push_back({down(n.leftTwin, 12), {}});
      steps.push_back(
          {down(vk::space, 13), {flags(fnBit | n.twinBit), keyDown(49, fnBit | n.twinBit)}});
      steps.push_back({up(n.leftTwin, 14), {}});
      steps.push_back({up(vk::space, 15), {flags(fnBit)}});
    } else if (n.leftTwin != 0) {
      steps.push_back({down(n.leftTwin), {flags(fnBit | n.twinBit)}});
      steps.push_back({up(n.leftTwin), {flags(fnBit)}});
    }
    steps.push_back({down(vk::space, 16), {keyDown(49, fnBit)}});
    steps.push_back({up(n.virtualKey, 17), {flags(0)}});
    cases.push_back({"Named" + n.name, n.key, steps});
  }
  // Without a named key nothing ever holds Fn's bit.
  cases.push_back(
      {"FnNamedHoldsNothing",
       FnKey::fn,
       {{down(0x7C), {keyDown(0xFFFF)}}, {down(vk::rightControl), {flags(controlBit)}}}});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(NamedKeys, WindowsTranslation, testing::ValuesIn(namedKeyCases()),
                         [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Keys, WindowsTranslation,
    testing::Values(
        TranslationCase{"SpaceDownRepeatUp",
                        FnKey::rightControl,
                        {{down(vk::rightControl), {flags(fnBit)}},
                         {down(vk::space), {keyDown(49, fnBit)}},
                         {down(vk::space), {keyDown(49, fnBit)}},
                         {up(vk::space), {}},
                         {up(vk::rightControl), {flags(0)}}}},
        TranslationCase{"KeyUpsOnceAsked",
                        FnKey::rightControl,
                        {{down(vk::space), {keyDown(49)}},
                         {up(vk::space), {keyUp(49)}},
                         {down('A'), {keyDown(0x00)}},
                         {up('A'), {keyUp(0x00)}},
                         {down(vk::rightControl), {flags(fnBit)}},
                         {up(vk::rightControl), {flags(0)}}},  // never a key-up
                        true},
        TranslationCase{"OtherKeysAndKeysWithoutCodes",
                        FnKey::fn,
                        {{down('Q'), {keyDown(0x0C)}},
                         {down(0x26), {keyDown(0x7E)}},    // VK_UP
                         {down(0xAF), {keyDown(0xFFFF)}},  // VK_VOLUME_UP
                         {down(vk::none), {}},
                         {down(0), {}}}},
        TranslationCase{"LeftAndRightShareTheirBit",
                        FnKey::fn,
                        {{down(vk::leftShift), {flags(shiftBit)}},
                         {down(vk::rightShift), {flags(shiftBit)}},
                         {up(vk::leftShift), {flags(shiftBit)}},
                         {up(vk::rightShift), {flags(0)}}}},
        // AltGr on a layout that has it: a Left Ctrl at the same time as the
        // Right Alt it comes with, down and up.
        TranslationCase{"AltGrIsRightAltAlone",
                        FnKey::fn,
                        {{down(vk::leftControl, 100, 0x1D), {}},
                         {down(vk::rightMenu, 100, 0x38), {flags(optionBit)}},
                         {down(vk::leftControl, 130, 0x1D), {}},
                         {down(vk::rightMenu, 130, 0x38), {}},  // auto-repeat
                         {up(vk::leftControl, 160, 0x1D), {}},
                         {up(vk::rightMenu, 160, 0x38), {flags(0)}}}},
        TranslationCase{"AltGrAsTheNamedKey",
                        FnKey::rightOption,
                        {{down(vk::leftControl, 100), {}},
                         {down(vk::rightMenu, 100), {flags(fnBit)}},
                         {down(vk::space, 120), {keyDown(49, fnBit)}},
                         {up(vk::leftControl, 160), {}},
                         {up(vk::rightMenu, 160), {flags(0)}}}},
        // Windows marks the Ctrl it makes up with the scan code 0x21D.
        TranslationCase{"AltGrsControlByItsScanCode",
                        FnKey::rightOption,
                        {{down(vk::leftControl, 100, altGrControlScanCode), {}},
                         {down(vk::rightMenu, 101), {flags(fnBit)}},
                         {up(vk::leftControl, 150, altGrControlScanCode), {}},
                         {up(vk::rightMenu, 151), {flags(0)}}}},
        TranslationCase{"LeftControlThenRightAltLaterIsBoth",
                        FnKey::rightOption,
                        {{down(vk::leftControl, 100), {}},
                         {down(vk::rightMenu, 140), {flags(controlBit), flags(controlBit | fnBit)}},
                         {up(vk::rightMenu, 180), {flags(controlBit)}},
                         {up(vk::leftControl, 200), {}},
                         {down(vk::space, 220), {flags(0), keyDown(49)}}}},
        TranslationCase{"LeftControlTapped", FnKey::rightControl, leftControlTap()},
        TranslationCase{"LeftControlHeldRepeats",
                        FnKey::fn,
                        {{down(vk::leftControl, 1), {}},
                         {down(vk::leftControl, 2), {flags(controlBit)}},
                         {down(vk::leftControl, 3), {}},
                         {up(vk::leftControl, 4), {}},
                         {down('A', 5), {flags(0), keyDown(0x00)}}}},
        // The key-ups went to the secure desktop: Windows reports the keys up.
        TranslationCase{
            "KeysReportedUpAreLetGoFirst",
            FnKey::rightControl,
            {{down(vk::rightControl), {flags(fnBit)}},
             {down(vk::leftShift), {flags(fnBit | shiftBit)}},
             {down('A'),
              {flags(shiftBit), keyDown(0x00, shiftBit)},
              watchedKeyBit(vk::rightControl)},
             {down(vk::rightShift), {flags(0), flags(shiftBit)}, watchedKeyBit(vk::leftShift)},
             // Not held, or already let go: nothing.
             {up(vk::rightControl), {}, watchedKeyBit(vk::rightControl)}}},
        TranslationCase{
            "SpaceReportedUpIsAKeyUp",
            FnKey::rightControl,
            {{down(vk::space), {keyDown(49)}},
             {down(vk::rightControl), {keyUp(49), flags(fnBit)}, watchedKeyBit(vk::space)}},
            true}),
    [](const auto& info) { return info.param.name; });

TEST(WindowsTranslation, ReleaseAllLetsGoOfWhatIsHeldOnce) {
  std::vector<DesktopEvent> seen;
  KeyTranslator translator([&](const DesktopEvent& event) { seen.push_back(event); });
  translator.setFnKey(FnKey::f13);
  translator.translate(down(0x7C));
  translator.translate(down(vk::leftShift));
  translator.translate(down(vk::leftControl, 5));  // still waiting
  seen.clear();
  translator.releaseAll();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].type, flagsChangedMask);
  EXPECT_EQ(seen[0].modifierFlags, 0u);
  translator.releaseAll();
  translator.translate(up(0x7C));  // its key-up, back on this desktop
  translator.translate(down(vk::space));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].modifierFlags, 0u);  // the Left Ctrl was dropped
  EXPECT_EQ(translator.modifierFlags(), 0u);
}

TEST(WindowsTranslation, KeyCodesOfTheNamedKeysAndOfReturn) {
  std::pair<FnKey, std::uint8_t> keys[] = {{FnKey::fn, vk::none},      {FnKey::rightControl, 0xA3},
                                           {FnKey::rightOption, 0xA5}, {FnKey::rightCommand, 0x5C},
                                           {FnKey::f13, 0x7C},         {FnKey::f20, 0x83}};
  for (auto [key, code] : keys) EXPECT_EQ(virtualKeyOf(key), code) << static_cast<int>(code);
  EXPECT_EQ(desktopKeyCode(0x0D, false), 0x24);  // Return
  EXPECT_EQ(desktopKeyCode(0x0D, true), 0x4C);   // the keypad's Enter
  EXPECT_EQ(desktopKeyCode(vk::space, false), 49);
}

struct SidedCase {
  std::uint8_t key;
  std::uint16_t scanCode;
  bool extended;
  std::uint8_t sided;
};

TEST(WindowsTranslation, KeysWithoutTheirSideGetIt) {
  SidedCase cases[] = {{vk::control, 0x1D, false, vk::leftControl},
                       {vk::control, 0x1D, true, vk::rightControl},
                       {vk::menu, 0x38, false, vk::leftMenu},
                       {vk::menu, 0x38, true, vk::rightMenu},
                       {vk::shift, 0x2A, false, vk::leftShift},
                       {vk::shift, 0x36, false, vk::rightShift},
                       {vk::shift, 0, false, vk::leftShift},
                       {vk::rightControl, 0, false, vk::rightControl},
                       {'A', 0x1E, false, 'A'}};
  for (const auto& c : cases) {
    EXPECT_EQ(sidedVirtualKey(c.key, c.scanCode, c.extended), c.sided)
        << int(c.key) << " " << c.scanCode;
  }
}

// GetAsyncKeyState as a test sets it.
std::uint32_t downNow = 0;
bool isDown(std::uint8_t key) { return (downNow & watchedKeyBit(key)) != 0; }

TEST(WindowsKeyStateWatch, ReportsHeldKeysThatWindowsSaysAreUp) {
  KeyStateWatch watch;
  downNow = 0;
  // The hook is called before Windows records the key's own state.
  EXPECT_EQ(watch.keysReportedUp(down(vk::rightControl, 1000), isDown), 0u);
  downNow = watchedKeyBit(vk::rightControl);
  EXPECT_EQ(watch.keysReportedUp(down(vk::space, 1200), isDown), 0u);
  downNow |= watchedKeyBit(vk::space);
  EXPECT_EQ(watch.keysReportedUp(down('A', 1400), isDown), 0u);  // not watched
  // Both let go on the secure desktop.
  downNow = 0;
  EXPECT_EQ(watch.keysReportedUp(down('B', 1500), isDown),
            watchedKeyBit(vk::rightControl) | watchedKeyBit(vk::space));
  EXPECT_EQ(watch.keysReportedUp(down('C', 1600), isDown), 0u);  // once
  // The event's own key is never reported.
  EXPECT_EQ(watch.keysReportedUp(down(0x7C, 1700), isDown), 0u);
  EXPECT_EQ(watch.keysReportedUp(up(0x7C, 1900), isDown), 0u);
  EXPECT_EQ(watch.keysReportedUp(down('D', 2000), isDown), 0u);
  EXPECT_EQ(watchedKeyBit('A'), 0u);
  EXPECT_NE(watchedKeyBit(0x83), 0u);
}

// An answer may be older than the key's press: a key held briefly is not
// asked about, however Windows answers; its auto-repeats keep its first time.
TEST(WindowsKeyStateWatch, AsksOnlyAboutKeysHeldAWhile) {
  KeyStateWatch watch;
  downNow = 0;
  watch.keysReportedUp(down(vk::rightControl, 5000), isDown);
  EXPECT_EQ(watch.keysReportedUp(down(vk::space, 5030), isDown), 0u);
  EXPECT_EQ(watch.keysReportedUp(down(vk::space, 5090), isDown), 0u);  // a repeat
  EXPECT_EQ(watch.keysReportedUp(down(vk::leftShift, 5110), isDown),
            watchedKeyBit(vk::rightControl));
  EXPECT_EQ(watch.keysReportedUp(down('A', 5135), isDown), watchedKeyBit(vk::space));
  // GetTickCount wraps after 49.7 days.
  watch.keysReportedUp(down(0x7D, 0xFFFFFFF0), isDown);
  EXPECT_EQ(watch.keysReportedUp(down('B', 0x20), isDown), 0u);
  EXPECT_EQ(watch.keysReportedUp(down('C', 0x80), isDown), watchedKeyBit(0x7D));
}

struct RawCase {
  std::string name;
  std::uint16_t virtualKey, makeCode, flags;
  std::optional<HookKey> seen;
};

void PrintTo(const RawCase& c, std::ostream* os) { *os << c.name; }

class WindowsRawInput : public testing::TestWithParam<RawCase> {};

TEST_P(WindowsRawInput, ReportsKeysAsTheHookDoes) {
  const auto& c = GetParam();
  auto key = rawInputKey(c.virtualKey, c.makeCode, c.flags, 77);
  ASSERT_EQ(key.has_value(), c.seen.has_value());
  if (!key) return;
  EXPECT_EQ(key->virtualKey, c.seen->virtualKey);
  EXPECT_EQ(key->scanCode, c.seen->scanCode);
  EXPECT_EQ(key->extended, c.seen->extended);
  EXPECT_EQ(key->up, c.seen->up);
  EXPECT_EQ(key->time, 77u);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, WindowsRawInput,
    testing::Values(
        RawCase{"RightControlDown", vk::control, 0x1D, 2,
                HookKey{.virtualKey = vk::rightControl, .scanCode = 0x1D, .extended = true}},
        RawCase{"LeftControlUp", vk::control, 0x1D, 1,
                HookKey{.virtualKey = vk::leftControl, .scanCode = 0x1D, .up = true}},
        RawCase{"RightShift", vk::shift, 0x36, 0,
                HookKey{.virtualKey = vk::rightShift, .scanCode = 0x36}},
        RawCase{"Space", vk::space, 0x39, 0, HookKey{.virtualKey = vk::space, .scanCode = 0x39}},
        RawCase{"ShiftAddedToAnExtendedKey", vk::shift, 0x2A, 2, std::nullopt},
        RawCase{"RightShiftAddedToAnExtendedKey", vk::shift, 0x36, 3, std::nullopt},
        RawCase{"PausesPrefix", 0x13, 0x1D, 4, std::nullopt},
        RawCase{"NoVirtualKey", 0xFF, 0x54, 0, std::nullopt},
        RawCase{"Overrun", 0, 0xFF, 0, std::nullopt}),
    [](const auto& info) { return info.param.name; });

enum class Source { hook, rawInput };

struct WatchStep {
  Source source;
  HookKey key;
  bool translated = true;                 // hook only: goes on to the translation
  bool reinstall = false;                 // raw input only
  std::vector<std::uint8_t> missed = {};  // raw input only: keys handed on
};

struct WatchCase {
  std::string name;
  std::vector<WatchStep> steps;
};

void PrintTo(const WatchCase& c, std::ostream* os) { *os << c.name; }

class WindowsHookWatch : public testing::TestWithParam<WatchCase> {};

TEST_P(WindowsHookWatch, ReinstallsOnlyWhenTheHookMissesKeys) {
  HookWatch watch;
  for (std::size_t i = 0; i < GetParam().steps.size(); ++i) {
    const auto& step = GetParam().steps[i];
    if (step.source == Source::hook) {
      EXPECT_EQ(watch.hookSaw(step.key), step.translated) << "step " << i;
      continue;
    }
    auto verdict = watch.rawInputSaw(step.key);
    EXPECT_EQ(verdict.reinstall, step.reinstall) << "step " << i;
    std::vector<std::uint8_t> missed;
    for (const auto& key : verdict.missed) missed.push_back(key.virtualKey);
    EXPECT_EQ(missed, step.missed) << "step " << i;
  }
}

constexpr auto hook = Source::hook;
constexpr auto raw = Source::rawInput;
const HookKey ctrlDown = down(vk::rightControl, 0, 0x1D), ctrlUp = up(vk::rightControl, 0, 0x1D),
              spaceDown = down(vk::space, 0, 0x39), spaceUp = up(vk::space, 0, 0x39);

INSTANTIATE_TEST_SUITE_P(
    Orders, WindowsHookWatch,
    testing::Values(
        WatchCase{"HookFirst",
                  {{hook, ctrlDown},
                   {raw, ctrlDown},
                   {hook, spaceDown},
                   {raw, spaceDown},
                   {hook, spaceUp},
                   {raw, spaceUp},
                   {hook, ctrlUp},
                   {raw, ctrlUp}}},
        WatchCase{"RawInputFirst",
                  {{raw, ctrlDown},
                   {hook, ctrlDown},
                   {raw, spaceDown},
                   {hook, spaceDown},
                   {raw, spaceUp},
                   {hook, spaceUp},
                   {raw, ctrlUp},
                   {hook, ctrlUp}}},
        // AltGr's Left Ctrl reaches the hook alone.
        WatchCase{"KeysOnlyTheHookSees",
                  {{hook, down(vk::leftControl, 0, altGrControlScanCode)},
                   {hook, down(vk::rightMenu, 0, 0x38)},
                   {raw, down(vk::rightMenu, 0, 0x38)},
                   {raw, up(vk::rightMenu, 0, 0x38)},
                   {hook, up(vk::leftControl, 0, altGrControlScanCode)},
                   {hook, up(vk::rightMenu, 0, 0x38)},
                   {raw, spaceDown},
                   {hook, spaceDown}}},
        // Injected keys have no scan code: a side told by one and not the other still matches.
        WatchCase{"InjectedWithoutScanCodes",
                  {{hook, down(vk::rightControl)},
                   {raw, down(vk::leftControl)},
                   {raw, up(vk::rightControl)},
                   {hook, up(vk::rightControl)}}},
        WatchCase{"HookGoneTwoKeysLater",
                  {{hook, ctrlDown},
                   {raw, ctrlDown},
                   {raw, spaceDown},
                   {raw, spaceUp, true, true, {vk::space, vk::space}},
                   // The new hook's events go on as usual.
                   {hook, ctrlUp, true},
                   {raw, ctrlUp}}},
        WatchCase{"LateCopiesOfHandedOnKeysAreDropped",
                  {{raw, ctrlDown},
                   {raw, ctrlUp, true, true, {vk::rightControl, vk::rightControl}},
                   {hook, ctrlDown, false},
                   {hook, ctrlUp, false},
                   {hook, spaceDown, true},
                   {raw, spaceDown}}},
        WatchCase{"ADifferentKeyEndsTheLateCopies",
                  {{raw, ctrlDown},
                   {raw, ctrlUp, true, true, {vk::rightControl, vk::rightControl}},
                   {hook, spaceDown, true},
                   {hook, ctrlDown, true},
                   {raw, spaceDown}}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace qen::platform::windows
