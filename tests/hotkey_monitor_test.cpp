#include "hotkey/hotkey_monitor.h"

#include <gtest/gtest.h>

#include "fake_platform.h"

namespace qen {
namespace {

constexpr platform::ModifierFlags fnBit = 0x800000;
constexpr platform::ModifierFlags shiftBit = 0x20000;
constexpr std::uint16_t letterA = 0;
constexpr std::uint16_t f1 = 0x7A;

const ShortcutConfig fnOnly{"Fn", Mode::fnOnly};
const ShortcutConfig fnSpace{"Fn+Space", Mode::fnSpace};

// A step fed to the monitor through the desktop's global monitors.
struct Step {
  enum Kind { flagsEvent, keyDownEvent, keyUpEvent } kind;
  platform::ModifierFlags flags = 0;
  std::uint16_t keyCode = 0;
  std::optional<std::string> characters;
};

Step flagsChanged(platform::ModifierFlags flags) { return {Step::flagsEvent, flags, 0, {}}; }
Step key(std::uint16_t code, std::optional<std::string> chars, platform::ModifierFlags flags = 0) {
  return {Step::keyDownEvent, flags, code, std::move(chars)};
}
Step space(platform::ModifierFlags flags = 0) { return key(spaceKeyCode, " ", flags); }
Step spaceUp(platform::ModifierFlags flags = 0) {
  return {Step::keyUpEvent, flags, spaceKeyCode, " "};
}

void send(const Step& step) {
  switch (step.kind) {
    case Step::flagsEvent:
      return fake::sendFlagsChanged(step.flags);
    case Step::keyDownEvent:
      return fake::sendKeyDown(step.keyCode, step.characters, step.flags);
    case Step::keyUpEvent:
      return fake::sendKeyUp(step.keyCode, step.characters, step.flags);
  }
}

struct Release {
  std::size_t afterStep;
  bool chord;
  friend bool operator==(const Release&, const Release&) = default;
};

void PrintTo(const Release& r, std::ostream* os) {
  *os << "step " << r.afterStep << (r.chord ? " chord" : " clean");
}

struct Scenario {
  std::string name;
  ShortcutConfig shortcut;
  std::vector<Step> steps;
  std::vector<std::size_t> togglesAfterStep;  // 0-based steps that must each write one toggle
  bool reportRelease = false;
  std::vector<Release> releases = {};  // steps that must each write one release line
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class StateMachine : public testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_P(StateMachine, TogglesAndReleasesExactlyWhereExpected) {
  const auto& scenario = GetParam();
  auto monitor =
      HotkeyMonitor::create(scenario.shortcut, {.reportRelease = scenario.reportRelease});
  monitor->start();
  std::vector<std::size_t> toggled;
  std::vector<Release> released;
  bool fnMode = scenario.shortcut.mode == Mode::fnOnly;
  auto expected = [&](nlohmann::json fields) {
    fields["shortcut"] = scenario.shortcut.rawValue;
    fields["source"] = fnMode ? "fn" : "fn+space";
    return fields;
  };
  for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
    auto before = fake::outputEvents().size();
    send(scenario.steps[i]);
    auto events = fake::outputEvents();
    ASSERT_LE(events.size() - before, 1u) << "step " << i;
    if (events.size() == before) continue;
    auto event = events.back();
    if (event["type"] == "toggle") {
      toggled.push_back(i);
      EXPECT_EQ(event, expected({{"type", "toggle"}}));
    } else {
      ASSERT_EQ(event["type"], "release") << "step " << i;
      ASSERT_TRUE(event["chord"].is_boolean());
      released.push_back({i, event["chord"].get<bool>()});
      EXPECT_EQ(event, expected({{"type", "release"}, {"chord", event["chord"]}}));
    }
  }
  EXPECT_EQ(toggled, scenario.togglesAfterStep);
  EXPECT_EQ(released, scenario.releases);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, StateMachine,
    testing::Values(
        Scenario{"FnDownUpDown",
                 fnOnly,
                 {flagsChanged(fnBit), flagsChanged(0), flagsChanged(fnBit)},
                 {0, 2}},
        Scenario{"ShiftWhileFnHeld",
                 fnOnly,
                 {flagsChanged(fnBit), flagsChanged(fnBit | shiftBit), flagsChanged(fnBit)},
                 {0}},
        Scenario{"FnWhileShiftHeld",
                 fnOnly,
                 {flagsChanged(shiftBit), flagsChanged(shiftBit | fnBit)},
                 {1}},
        Scenario{"FnHeldBeforeStartShowsWithShift",
                 fnOnly,
                 {flagsChanged(fnBit | shiftBit), flagsChanged(0)},
                 {0}},
        Scenario{"KeyDownsNeverToggleFnOnly",
                 fnOnly,
                 {space(fnBit), key(letterA, "a", fnBit), flagsChanged(fnBit)},
                 {2}},
        Scenario{"SameFlagsEventTwice", fnOnly, {flagsChanged(fnBit), flagsChanged(fnBit)}, {0}},
        Scenario{"FnSpaceOncePerPress",
                 fnSpace,
                 {flagsChanged(fnBit), space(fnBit), space(fnBit), space(fnBit), flagsChanged(0),
                  flagsChanged(fnBit), space(fnBit)},
                 {1, 6}},
        Scenario{"FnAloneWritesNothing", fnSpace, {flagsChanged(fnBit), flagsChanged(0)}, {}},
        Scenario{"SpaceBeforeFnThenRepeat",
                 fnSpace,
                 {space(), flagsChanged(fnBit), space(fnBit), space(fnBit)},
                 {2}},
        Scenario{"KeyDownFlagsCountWithoutFlagsEvent",
                 fnSpace,
                 {space(fnBit), space(fnBit), flagsChanged(0), space(fnBit)},
                 {0, 3}},
        Scenario{"FunctionPressedIsNotSetByKeyDown",
                 fnSpace,
                 {space(fnBit), flagsChanged(0), space()},
                 {0}},
        Scenario{
            "SpaceKeyCodeWithoutText", fnSpace, {flagsChanged(fnBit), key(49, std::nullopt)}, {1}},
        Scenario{
            "OtherKeyCodeWithSpaceText", fnSpace, {flagsChanged(fnBit), key(0xFFFF, " ")}, {1}},
        Scenario{"TextsThatAreNotSpace",
                 fnSpace,
                 {flagsChanged(fnBit), key(0xFFFF, std::nullopt), key(0xFFFF, ""),
                  key(0xFFFF, "  "), key(0xFFFF, "\u00A0")},
                 {}},
        Scenario{
            "LetterThenSpace", fnSpace, {flagsChanged(fnBit), key(letterA, "a"), space()}, {2}},
        Scenario{"OtherModifierKeepsFnPress",
                 fnSpace,
                 {flagsChanged(fnBit), space(), flagsChanged(fnBit | shiftBit), space()},
                 {1}},
        Scenario{"SpaceWithoutFn", fnSpace, {space(), space(shiftBit)}, {}}),
    [](const auto& info) { return info.param.name; });

// With reportRelease: the same toggles, each closed by exactly one release.
INSTANTIATE_TEST_SUITE_P(
    ReleaseScenarios, StateMachine,
    testing::Values(
        Scenario{"FnHeldAndLetGo",
                 fnOnly,
                 {flagsChanged(fnBit), flagsChanged(0)},
                 {0},
                 true,
                 {{1, false}}},
        Scenario{"ChordFromALetter",
                 fnOnly,
                 {flagsChanged(fnBit), key(letterA, "a", fnBit), flagsChanged(0)},
                 {0},
                 true,
                 {{2, true}}},
        Scenario{"ChordFromAnFKey",
                 fnSpace,
                 {flagsChanged(fnBit), space(fnBit), key(f1, std::nullopt, fnBit), flagsChanged(0)},
                 {1},
                 true,
                 {{3, true}}},
        Scenario{"ChordFromAModifier",
                 fnOnly,
                 {flagsChanged(fnBit), flagsChanged(fnBit | shiftBit), flagsChanged(fnBit),
                  flagsChanged(0)},
                 {0},
                 true,
                 {{3, true}}},
        Scenario{"SpaceIsAChordInFnMode",
                 fnOnly,
                 {flagsChanged(fnBit), space(fnBit), flagsChanged(0)},
                 {0},
                 true,
                 {{2, true}}},
        Scenario{"TheTogglingEventIsNoChord",
                 fnOnly,
                 {flagsChanged(fnBit | shiftBit), flagsChanged(shiftBit), flagsChanged(0)},
                 {0},
                 true,
                 {{1, false}}},
        Scenario{
            "ModifierLetGoIsNoChord",
            fnSpace,
            {flagsChanged(fnBit | shiftBit), space(fnBit), flagsChanged(fnBit), flagsChanged(0)},
            {1},
            true,
            {{3, false}}},
        Scenario{"KeysBeforeTheToggleAreNoChord",
                 fnSpace,
                 {flagsChanged(fnBit), key(letterA, "a", fnBit), space(fnBit), spaceUp(fnBit)},
                 {2},
                 true,
                 {{3, false}}},
        Scenario{"SpaceUpBeforeFnUp",
                 fnSpace,
                 {flagsChanged(fnBit), space(fnBit), spaceUp(fnBit), space(fnBit), spaceUp(fnBit),
                  flagsChanged(0)},
                 {1},
                 true,
                 {{2, false}}},
        Scenario{"FnUpBeforeSpaceUp",
                 fnSpace,
                 {flagsChanged(fnBit), space(fnBit), flagsChanged(0), spaceUp()},
                 {1},
                 true,
                 {{2, false}}},
        Scenario{"SpaceAutorepeatIsNoChord",
                 fnSpace,
                 {flagsChanged(fnBit), space(fnBit), space(fnBit), space(fnBit), spaceUp(fnBit)},
                 {1},
                 true,
                 {{4, false}}},
        Scenario{"NoReleaseWithoutToggle",
                 fnSpace,
                 {flagsChanged(fnBit), key(letterA, "a", fnBit), spaceUp(fnBit), flagsChanged(0)},
                 {},
                 true,
                 {}},
        Scenario{"SameEventsTwiceFnOnly",
                 fnOnly,
                 {flagsChanged(fnBit), flagsChanged(fnBit), flagsChanged(0), flagsChanged(0)},
                 {0},
                 true,
                 {{2, false}}},
        Scenario{"SameEventsTwiceFnSpace",
                 fnSpace,
                 {flagsChanged(fnBit), space(fnBit), space(fnBit), spaceUp(fnBit), spaceUp(fnBit)},
                 {1},
                 true,
                 {{3, false}}},
        Scenario{"EveryPressGetsItsOwnRelease",
                 fnOnly,
                 {flagsChanged(fnBit), key(letterA, "a", fnBit), flagsChanged(0),
                  flagsChanged(fnBit), flagsChanged(0)},
                 {0, 3},
                 true,
                 {{2, true}, {4, false}}}),
    [](const auto& info) { return info.param.name; });

class Monitors : public testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
};

struct RegistrationCase {
  std::string name;
  ShortcutConfig shortcut;
  bool reportRelease;
  std::vector<platform::EventMask> masks;  // each a global, then a local monitor
};

void PrintTo(const RegistrationCase& c, std::ostream* os) { *os << c.name; }

class Registrations : public testing::TestWithParam<RegistrationCase> {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_P(Registrations, AreGlobalThenLocalPerMaskAndRemovedInTheSameOrder) {
  auto monitor =
      HotkeyMonitor::create(GetParam().shortcut, {.reportRelease = GetParam().reportRelease});
  monitor->start();
  monitor->stop();
  std::vector<std::string> expected;
  for (auto mask : GetParam().masks) {
    expected.push_back("addGlobalMonitor " + std::to_string(mask));
    expected.push_back("addLocalMonitor " + std::to_string(mask));
  }
  for (std::size_t i = 0; i < 2 * GetParam().masks.size(); ++i) {
    expected.push_back("removeMonitor " + std::to_string(100 + i));
  }
  EXPECT_EQ(fake::desktop().calls, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Registrations,
    testing::Values(RegistrationCase{"FnOnly", fnOnly, false, {4096}},
                    RegistrationCase{"FnSpace", fnSpace, false, {4096, 1024}},
                    RegistrationCase{"FnOnlyWithRelease", fnOnly, true, {4096, 1024}},
                    RegistrationCase{"FnSpaceWithRelease", fnSpace, true, {4096, 1024, 2048}}),
    [](const auto& info) { return info.param.name; });

TEST_F(Monitors, RegistrationWithoutHandleIsSkippedOnStop) {
  fake::desktop().registrationsReturningNoHandle = {0, 3};
  auto monitor = HotkeyMonitor::create(fnSpace);
  monitor->start();
  monitor->stop();
  EXPECT_EQ(fake::desktop().removedHandles, (std::vector<platform::MonitorHandle>{{101}, {102}}));
}

TEST_F(Monitors, StopBeforeStartRemovesNothing) {
  HotkeyMonitor::create(fnSpace)->stop();
  EXPECT_TRUE(fake::desktop().calls.empty());
}

TEST_F(Monitors, NoToggleAfterStop) {
  auto monitor = HotkeyMonitor::create(fnOnly);
  monitor->start();
  monitor->stop();
  fake::sendFlagsChanged(fnBit);
  EXPECT_TRUE(fake::desktop().standardOutput.empty());
}

TEST_F(Monitors, LocalHandlersReturnTheIdenticalEvent) {
  auto monitor = HotkeyMonitor::create(fnSpace);
  monitor->start();
  platform::DesktopEvent fnDown;
  fnDown.modifierFlags = fnBit;
  platform::DesktopEvent spaceDown;
  spaceDown.type = platform::keyDownMask;
  spaceDown.keyCode = spaceKeyCode;
  const auto& flagsLocal = fake::desktop().registrations[1];
  const auto& keyLocal = fake::desktop().registrations[3];
  EXPECT_EQ(flagsLocal.localHandler(fnDown), &fnDown);
  EXPECT_EQ(keyLocal.localHandler(spaceDown), &spaceDown);  // toggles
  EXPECT_EQ(keyLocal.localHandler(spaceDown), &spaceDown);  // does not
  EXPECT_EQ(fake::outputLines().size(), 1u);
  monitor.reset();
  EXPECT_EQ(keyLocal.localHandler(spaceDown), &spaceDown);
}

TEST_F(Monitors, HandlersDoNotKeepTheMonitorAlive) {
  auto monitor = HotkeyMonitor::create(fnOnly);
  std::weak_ptr<HotkeyMonitor> watcher = monitor;
  monitor->start();
  monitor.reset();
  EXPECT_TRUE(watcher.expired());
  fake::sendFlagsChanged(fnBit);  // its handlers are still registered and do nothing
  EXPECT_TRUE(fake::desktop().standardOutput.empty());
  EXPECT_TRUE(fake::desktop().removedHandles.empty());
}

}  // namespace
}  // namespace qen
