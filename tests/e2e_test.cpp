// The built helper driven through virtual keyboards as its /dev/input.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "support/end_to_end.h"

namespace qen::testing {
namespace {

struct Scenario {
  std::string name;
  std::string shortcut;  // as the command line gives it
  std::vector<std::string> beforeStart;
  std::vector<std::string> steps;
  int toggles;
  bool reportRelease = false;
  std::vector<bool> releaseChords = {};  // each release line's "chord", in order
  std::string fnKey = "";                // --fn-key's value
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class Scenarios : public EndToEnd, public ::testing::WithParamInterface<Scenario> {};

TEST_P(Scenarios, WriteExactlyTheExpectedLines) {
  const auto& scenario = GetParam();
  for (const auto& line : scenario.beforeStart) command(line);
  ASSERT_EQ(
      start(scenario.shortcut, {.reportRelease = scenario.reportRelease, .fnKey = scenario.fnKey}),
      !scenario.beforeStart.empty());
  for (const auto& line : scenario.steps) step(line);
  bool withSpace = scenario.shortcut.find("space") != std::string::npos;
  auto toggle = toggleEvent(withSpace ? "Fn+Space" : "Fn");
  int toggles = 0;
  std::vector<bool> chords;
  bool releaseDue = false;
  for (const auto& event : events()) {
    if (event["type"] == "release") {
      EXPECT_TRUE(releaseDue) << "a release without its toggle";
      auto expected = toggle;
      expected["type"] = "release";
      expected["chord"] = event["chord"].is_boolean() && event["chord"].get<bool>();
      EXPECT_EQ(event, expected);
      chords.push_back(expected["chord"]);
      releaseDue = false;
    } else {
      EXPECT_EQ(event, toggle);
      EXPECT_FALSE(releaseDue) << "a toggle before the last one's release";
      releaseDue = scenario.reportRelease;
      ++toggles;
    }
  }
  EXPECT_EQ(toggles, scenario.toggles);
  EXPECT_EQ(chords, scenario.releaseChords);
}

const std::vector<std::string> oneKeyboard = {"add event-kb"};
const std::vector<std::string> twoKeyboards = {"add event-kb", "add event-other"};
// A clean press of Fn, then one used as a modifier (Fn+A).
const std::vector<std::string> holdThenChord = {"press event-kb fn",  "release event-kb fn",
                                                "press event-kb fn",  "press event-kb a",
                                                "release event-kb a", "release event-kb fn"};
// Fn+Space let go at Space (the letter after it is no chord), then Fn+Space
// with Shift, let go at Fn.
const std::vector<std::string> spaceHoldThenChord = {
    "press event-kb fn",        "press event-kb space",       "repeat event-kb space",
    "release event-kb space",   "press event-kb a",           "release event-kb a",
    "release event-kb fn",      "press event-kb fn",          "press event-kb space",
    "press event-kb leftshift", "release event-kb leftshift", "release event-kb fn",
    "release event-kb space"};

INSTANTIATE_TEST_SUITE_P(
    FnOnly, Scenarios,
    ::testing::Values(
        Scenario{"DownUpDown",
                 "fn",
                 oneKeyboard,
                 {"press event-kb fn", "release event-kb fn", "press event-kb fn"},
                 2},
        Scenario{"OtherModifiersWhileHeld",
                 "fn",
                 oneKeyboard,
                 {"press event-kb fn", "press event-kb leftshift", "release event-kb leftshift",
                  "press event-kb rightalt"},
                 1},
        Scenario{"ShiftHeldThenFn",
                 "fn",
                 oneKeyboard,
                 {"press event-kb leftshift", "press event-kb fn"},
                 1},
        Scenario{"HeldBeforeStartShowsWithShift",
                 "fn",
                 {"add event-kb", "press event-kb fn"},
                 {"press event-kb leftshift", "release event-kb fn"},
                 1},
        Scenario{
            "FnAutorepeatWritesNothing",
            "fn",
            oneKeyboard,
            {"press event-kb fn", "repeat event-kb fn", "repeat event-kb fn", "repeat event-kb fn"},
            1},
        Scenario{"KeysWithFnHeldWriteNothing",
                 "fn",
                 oneKeyboard,
                 {"press event-kb fn", "press event-kb space", "repeat event-kb space",
                  "press event-kb a"},
                 1},
        Scenario{"HeldOnTwoKeyboardsIsOnePress",
                 "fn",
                 twoKeyboards,
                 {"press event-kb fn", "press event-other fn", "release event-kb fn",
                  "press event-kb fn"},
                 1},
        Scenario{"RemovedWhileHeldReleasesFn",
                 "fn",
                 twoKeyboards,
                 {"press event-other fn", "remove event-other", "press event-kb fn"},
                 2},
        Scenario{"PluggedInAfterStart", "fn", {}, {"add event-late", "press event-late fn"}, 1},
        Scenario{"OverflowWhileFnGoesDown",
                 "fn",
                 oneKeyboard,
                 {"press event-kb fn; flood event-kb 100"},
                 1},
        Scenario{
            "OverflowWhileFnGoesUp",
            "fn",
            oneKeyboard,
            {"press event-kb fn", "release event-kb fn; flood event-kb 100", "press event-kb fn"},
            2},
        Scenario{"SameScenarioWithAliases", "Globe", oneKeyboard, {"press event-kb fn"}, 1},
        // libevdev complains about this device while opening it; standard
        // error must stay empty all the same (checked after every test).
        Scenario{"BesideATouchscreenLibevdevComplainsAbout",
                 "fn",
                 {"add event-kb", "add event-touch badtouch"},
                 {"press event-kb fn"},
                 1},
        Scenario{"ReleaseAfterACleanHoldThenAChord",
                 "fn",
                 oneKeyboard,
                 holdThenChord,
                 2,
                 true,
                 {false, true}},
        Scenario{"NoReleaseWithoutTheOption", "fn", oneKeyboard, holdThenChord, 2},
        Scenario{"RemovedWhileHeldReleases",
                 "fn",
                 twoKeyboards,
                 {"press event-other fn", "remove event-other"},
                 1,
                 true,
                 {false}}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    FnSpace, Scenarios,
    ::testing::Values(
        Scenario{"OncePerPressOfFn",
                 "fn+space",
                 oneKeyboard,
                 {"press event-kb fn", "press event-kb space", "repeat event-kb space",
                  "repeat event-kb space", "release event-kb space", "press event-kb space",
                  "release event-kb space", "release event-kb fn", "press event-kb fn",
                  "press event-kb space"},
                 2},
        Scenario{"FnAloneWritesNothing",
                 "fn+space",
                 oneKeyboard,
                 {"press event-kb fn", "release event-kb fn"},
                 0},
        Scenario{"SpaceHeldBeforeFn",
                 "fn+space",
                 oneKeyboard,
                 {"press event-kb space", "press event-kb fn", "repeat event-kb space",
                  "repeat event-kb space"},
                 1},
        Scenario{
            "LetterThenSpace",
            "fn+space",
            oneKeyboard,
            {"press event-kb fn", "press event-kb a", "release event-kb a", "press event-kb space"},
            1},
        Scenario{"OtherModifiersWhileHeld",
                 "fn+space",
                 oneKeyboard,
                 {"press event-kb fn", "press event-kb leftctrl", "press event-kb space",
                  "release event-kb leftctrl", "press event-kb space"},
                 1},
        Scenario{"FnAutorepeatDoesNotRearm",
                 "fn+space",
                 oneKeyboard,
                 {"press event-kb fn", "press event-kb space", "repeat event-kb fn",
                  "press event-kb space"},
                 1},
        Scenario{"FnOnOneKeyboardSpaceOnAnother",
                 "fn+space",
                 twoKeyboards,
                 {"press event-kb fn", "press event-other space"},
                 1},
        Scenario{"HeldBeforeStart",
                 "fn+space",
                 {"add event-kb", "press event-kb fn"},
                 {"press event-kb space"},
                 1},
        Scenario{"RemovedWhileHeldReleasesFn",
                 "fn+space",
                 twoKeyboards,
                 {"press event-other fn", "remove event-other", "press event-kb space"},
                 0},
        Scenario{"PluggedInAfterStart",
                 "fn+space",
                 {},
                 {"add event-late", "press event-late fn", "press event-late space"},
                 1},
        Scenario{"OverflowWhileFnGoesDown",
                 "fn+space",
                 oneKeyboard,
                 {"press event-kb fn; flood event-kb 100", "press event-kb space"},
                 1},
        Scenario{"ReleaseAtSpaceUpThenAChordAtFnUp",
                 "fn+space",
                 oneKeyboard,
                 spaceHoldThenChord,
                 2,
                 true,
                 {false, true}},
        Scenario{"NoReleaseWithoutTheOption", "fn+space", oneKeyboard, spaceHoldThenChord, 2},
        Scenario{"ReleaseWithFnAndSpaceOnTwoKeyboards",
                 "fn+space",
                 twoKeyboards,
                 {"press event-kb fn", "press event-other space", "repeat event-other space",
                  "release event-other space", "press event-kb leftctrl", "release event-kb fn"},
                 1,
                 true,
                 {false}},
        Scenario{"OverflowWhileFnGoesUp",
                 "fn+space",
                 oneKeyboard,
                 {"press event-kb fn", "press event-kb space", "release event-kb space",
                  "release event-kb fn; flood event-kb 100", "press event-kb space",
                  "press event-kb fn", "press event-kb space"},
                 2}),
    [](const auto& info) { return info.param.name; });

// The same presses with another key in Fn's part, on a PC keyboard.
std::vector<std::string> withKey(std::vector<std::string> steps, const std::string& key) {
  for (auto& line : steps) {
    if (line.ends_with(" fn")) line.replace(line.size() - 2, 2, key);
  }
  return steps;
}

std::vector<Scenario> namedKeyOnAPcKeyboard() {
  std::vector<Scenario> scenarios;
  for (std::string key : {"rightctrl", "rightalt", "rightmeta"}) {
    for (bool release : {false, true}) {
      std::string suffix = key + (release ? "WithRelease" : "");
      std::vector<bool> chords = release ? std::vector<bool>{false, true} : std::vector<bool>{};
      scenarios.push_back({"FnOnly" + suffix,
                           "fn",
                           {"add event-kb nofn"},
                           withKey(holdThenChord, key),
                           2,
                           release,
                           chords,
                           key});
      scenarios.push_back({"FnSpace" + suffix,
                           "fn+space",
                           {"add event-kb nofn"},
                           withKey(spaceHoldThenChord, key),
                           2,
                           release,
                           chords,
                           key});
    }
  }
  return scenarios;
}

INSTANTIATE_TEST_SUITE_P(NamedKeyOnAPcKeyboard, Scenarios,
                         ::testing::ValuesIn(namedKeyOnAPcKeyboard()),
                         [](const auto& info) { return info.param.name; });

const std::vector<std::string> pcKeyboard = {"add event-kb nofn"};
const std::vector<std::string> pedal = {"add event-pedal pedal"};

INSTANTIATE_TEST_SUITE_P(
    NamedKey, Scenarios,
    ::testing::Values(
        Scenario{"LeftTwinIsAChord",
                 "fn",
                 pcKeyboard,
                 {"press event-kb rightctrl", "press event-kb leftctrl",
                  "release event-kb leftctrl", "release event-kb rightctrl"},
                 1,
                 true,
                 {true},
                 "rightctrl"},
        Scenario{"AutorepeatIsNoPressAndNoChord",
                 "fn",
                 pcKeyboard,
                 {"press event-kb rightalt", "repeat event-kb rightalt", "repeat event-kb rightalt",
                  "release event-kb rightalt"},
                 1,
                 true,
                 {false},
                 "rightalt"},
        Scenario{"RealFnDoesNothing",
                 "fn",
                 oneKeyboard,
                 {"press event-kb fn", "release event-kb fn", "press event-kb rightctrl",
                  "press event-kb fn", "release event-kb fn", "release event-kb rightctrl"},
                 1,
                 true,
                 {false},
                 "rightctrl"},
        Scenario{"RealFnAndSpaceDoNothing",
                 "fn+space",
                 oneKeyboard,
                 {"press event-kb fn", "press event-kb space"},
                 0,
                 false,
                 {},
                 "rightctrl"},
        Scenario{"PedalAlone",
                 "fn",
                 pedal,
                 {"press event-pedal f13", "repeat event-pedal f13", "release event-pedal f13",
                  "press event-pedal f13"},
                 2,
                 false,
                 {},
                 "f13"},
        Scenario{"PedalHeldWhileSpaceOnAKeyboard",
                 "fn+space",
                 {"add event-pedal pedal", "add event-kb nofn"},
                 {"press event-pedal f13", "press event-kb space", "release event-kb space"},
                 1,
                 true,
                 {false},
                 "f13"},
        Scenario{"PedalUnpluggedWhileHeld",
                 "fn",
                 {"add event-pedal pedal", "add event-kb nofn"},
                 {"press event-pedal f13", "remove event-pedal", "press event-kb f13"},
                 2,
                 true,
                 {false},
                 "f13"}),
    [](const auto& info) { return info.param.name; });

struct TrustCase {
  std::string name;
  std::vector<std::string> keyboards;
  StartOptions options;
  bool trusted;
};

void PrintTo(const TrustCase& c, std::ostream* os) { *os << c.name; }

class Trust : public EndToEnd, public ::testing::WithParamInterface<TrustCase> {};

TEST_P(Trust, FollowsWhetherAKeyboardCanBeRead) {
  for (const auto& line : GetParam().keyboards) command(line);
  EXPECT_EQ(start("fn+space", GetParam().options), GetParam().trusted);
}

// Mode 0200: without the read-override capabilities root cannot read it either.
INSTANTIATE_TEST_SUITE_P(
    Keyboards, Trust,
    ::testing::Values(TrustCase{"ReadableBesideUnreadable",
                                {"add event-locked 0200", "add event-open"},
                                {false, true},
                                true},
                      TrustCase{"OnlyUnreadable", {"add event-locked 0200"}, {false, true}, false},
                      TrustCase{"NoKeyboards", {}, {}, false},
                      TrustCase{"NoInputDirectory", {}, {true, false}, false},
                      TrustCase{"OnlyAMouse", {"add event-pointer mouse"}, {}, false},
                      TrustCase{"KeyboardWithoutFnHasSpace", {"add event-plain nofn"}, {}, true},
                      TrustCase{"PedalWithItsKeyNamed", pedal, {.fnKey = "f13"}, true},
                      TrustCase{"PedalWithAnotherKeyNamed", pedal, {.fnKey = "f14"}, false},
                      TrustCase{"PedalAlone", pedal, {}, false}),
    [](const auto& info) { return info.param.name; });

struct DiagnosisCase {
  std::string name;
  std::vector<std::string> nodes;
  StartOptions options;
  json devices;
  std::vector<std::string> problemCodes;
};

void PrintTo(const DiagnosisCase& c, std::ostream* os) { *os << c.name; }

class Diagnose : public EndToEnd, public ::testing::WithParamInterface<DiagnosisCase> {};

TEST_P(Diagnose, DescribesEveryNodeNamesTheProblemAndEndsWithZero) {
  for (const auto& line : GetParam().nodes) command(line);
  const auto& options = GetParam().options;
  std::vector<std::string> command{helperPath(), "--diagnose"};
  if (!options.fnKey.empty())
    command.insert(command.end(), {"--fn-key", std::string(options.fnKey)});
  helper = std::make_unique<HelperProcess>(
      keyboards->runWithInput(command, options.noInputDirectory, options.withoutReadOverride));
  auto lines = helper->readRemainingLines();
  ASSERT_EQ(lines.size(), 1u);
  auto line = json::parse(lines[0]);
  EXPECT_EQ(line["type"], "diagnosis");
  EXPECT_EQ(line["platform"], "linux");
  EXPECT_EQ(line.value("fnKey", ""), options.fnKey);
  EXPECT_EQ(line["devices"], GetParam().devices);
  std::vector<std::string> codes;
  for (const auto& problem : line["problems"]) codes.push_back(problem["code"]);
  EXPECT_EQ(codes, GetParam().problemCodes);
  EXPECT_EQ(line["accessibilityTrusted"], codes.empty() || codes[0] == "no-fn-key");
  auto status = helper->waitForExit();
  ASSERT_TRUE(status && WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

json readableNode(const std::string& name, bool keyboard, bool fn) {
  return {{"path", "/dev/input/" + name},
          {"readable", true},
          {"name", "vkbd " + name},
          {"keyboard", keyboard},
          {"fn", fn}};
}

INSTANTIATE_TEST_SUITE_P(
    Nodes, Diagnose,
    ::testing::Values(
        DiagnosisCase{
            "KeyboardWithFn", {"add event0"}, {}, {readableNode("event0", true, true)}, {}},
        DiagnosisCase{"KeyboardWithoutFn",
                      {"add event0 nofn"},
                      {},
                      {readableNode("event0", true, false)},
                      {"no-fn-key"}},
        DiagnosisCase{"UnreadableNode",
                      {"add event10 mouse", "add event2 0200"},
                      {false, true},
                      {{{"path", "/dev/input/event2"}, {"readable", false}},
                       readableNode("event10", false, false)},
                      {"no-readable-keyboard"}},
        DiagnosisCase{"OnlyAMouse",
                      {"add event0 mouse"},
                      {},
                      {readableNode("event0", false, false)},
                      {"no-readable-keyboard"}},
        DiagnosisCase{"NoNodes", {}, {}, json::array(), {"no-input-devices"}},
        DiagnosisCase{"NoInputDirectory", {}, {true}, json::array(), {"no-input-devices"}},
        DiagnosisCase{"PcKeyboardWithRightCtrlNamed",
                      {"add event0 nofn"},
                      {.fnKey = "rightctrl"},
                      {readableNode("event0", true, true)},
                      {}},
        DiagnosisCase{"PedalWithItsKeyNamed",
                      {"add event0 pedal"},
                      {.fnKey = "f13"},
                      {readableNode("event0", true, true)},
                      {}},
        DiagnosisCase{"PedalWithAnotherKeyNamed",
                      {"add event0 pedal"},
                      {.fnKey = "rightmeta"},
                      {readableNode("event0", false, false)},
                      {"no-readable-keyboard"}},
        DiagnosisCase{"PedalAlone",
                      {"add event0 pedal"},
                      {},
                      {readableNode("event0", false, false)},
                      {"no-readable-keyboard"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(EndToEnd, KeyboardThatBecomesReadableIsOpened) {
  command("add event-locked 0200");
  ASSERT_FALSE(start("fn", {false, true}));
  step("chmod event-locked 0600");
  step("press event-locked fn");
  EXPECT_EQ(toggles("Fn"), 1);
}

struct SignalCase {
  std::string shortcut;
  int signal;
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.shortcut << " " << c.signal; }

class Shutdown : public EndToEnd, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(Shutdown, AfterTogglesEndsWithZeroAndNothingMore) {
  command("add event-kb");
  ASSERT_TRUE(start(GetParam().shortcut));
  for (int i = 0; i < 3; ++i)
    step("press event-kb fn; press event-kb space; release event-kb space; release event-kb fn");
  EXPECT_EQ(toggles(GetParam().shortcut == "fn" ? "Fn" : "Fn+Space"), 3);
  helper->sendSignal(GetParam().signal);
  auto status = helper->waitForExit();
  ASSERT_TRUE(status && WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_TRUE(helper->readRemainingLines().empty());
  EXPECT_TRUE(helper->pendingBytes().empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, Shutdown,
                         ::testing::Values(SignalCase{"fn", SIGTERM}, SignalCase{"fn", SIGINT},
                                           SignalCase{"fn+space", SIGTERM},
                                           SignalCase{"fn+space", SIGINT}));

}  // namespace
}  // namespace qen::testing
