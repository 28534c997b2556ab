#include "hotkey/hotkey_monitor.h"

#include <gtest/gtest.h>

#include "fake_platform.h"

namespace qen {
namespace {

constexpr platform::ModifierFlags fnBit = 0x800000;
constexpr platform::ModifierFlags shiftBit = 0x20000;
constexpr std::uint16_t letterA = 0;

const ShortcutConfig fnOnly{"Fn", Mode::fnOnly};
const ShortcutConfig fnSpace{"Fn+Space", Mode::fnSpace};

// A step fed to the monitor through the desktop's global monitors.
struct Step {
  enum Kind { flagsEvent, keyDownEvent } kind;
  platform::ModifierFlags flags = 0;
  std::uint16_t keyCode = 0;
  std::optional<std::string> characters;
};

Step flagsChanged(platform::ModifierFlags flags) { return {Step::flagsEvent, flags, 0, {}}; }
Step key(std::uint16_t code, std::optional<std::string> chars, platform::ModifierFlags flags = 0) {
  return {Step::keyDownEvent, flags, code, std::move(chars)};
}
Step space(platform::ModifierFlags flags = 0) { return key(spaceKeyCode, " ", flags); }

struct Scenario {
  std::string name;
  ShortcutConfig shortcut;
  std::vector<Step> steps;
  std::vector<std::size_t> togglesAfterStep;  // 0-based steps that must each write one toggle
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class StateMachine : public testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_P(StateMachine, TogglesExactlyWhereExpected) {
  const auto& scenario = GetParam();
  auto monitor = HotkeyMonitor::create(scenario.shortcut);
  monitor->start();
  std::vector<std::size_t> toggled;
  for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
    auto before = fake::outputLines().size();
    const auto& step = scenario.steps[i];
    if (step.kind == Step::flagsEvent) {
      fake::sendFlagsChanged(step.flags);
    } else {
      fake::sendKeyDown(step.keyCode, step.characters, step.flags);
    }
    auto written = fake::outputLines().size() - before;
    ASSERT_LE(written, 1u) << "step " << i;
    if (written == 1) toggled.push_back(i);
  }
  EXPECT_EQ(toggled, scenario.togglesAfterStep);
  bool fnMode = scenario.shortcut.mode == Mode::fnOnly;
  for (const auto& event : fake::outputEvents()) {
    EXPECT_EQ(event, (nlohmann::json{{"type", "toggle"},
                                     {"shortcut", scenario.shortcut.rawValue},
                                     {"source", fnMode ? "fn" : "fn+space"}}));
  }
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

class Monitors : public testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_F(Monitors, FnOnlyRegistersGlobalThenLocalFlagsMonitors) {
  auto monitor = HotkeyMonitor::create(fnOnly);
  monitor->start();
  monitor->stop();
  EXPECT_EQ(fake::desktop().calls,
            (std::vector<std::string>{"addGlobalMonitor 4096", "addLocalMonitor 4096",
                                      "removeMonitor 100", "removeMonitor 101"}));
}

TEST_F(Monitors, FnSpaceRegistersFourAndRemovesThemInOrder) {
  auto monitor = HotkeyMonitor::create(fnSpace);
  monitor->start();
  monitor->stop();
  EXPECT_EQ(fake::desktop().calls,
            (std::vector<std::string>{"addGlobalMonitor 4096", "addLocalMonitor 4096",
                                      "addGlobalMonitor 1024", "addLocalMonitor 1024",
                                      "removeMonitor 100", "removeMonitor 101", "removeMonitor 102",
                                      "removeMonitor 103"}));
}

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
