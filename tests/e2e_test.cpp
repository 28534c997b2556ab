// The built helper driven through virtual keyboards as its /dev/input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <thread>

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

// The toggles (and with --report-release, the releases) that the scenario
// expects, and nothing else.
void expectScenarioLines(const Scenario& scenario, const std::vector<json>& events) {
  bool withSpace = scenario.shortcut.find("space") != std::string::npos;
  auto toggle = EndToEnd::toggleEvent(withSpace ? "Fn+Space" : "Fn");
  int toggles = 0;
  std::vector<bool> chords;
  bool releaseDue = false;
  for (const auto& event : events) {
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

class Scenarios : public EndToEnd, public ::testing::WithParamInterface<Scenario> {};

TEST_P(Scenarios, WriteExactlyTheExpectedLines) {
  const auto& scenario = GetParam();
  for (const auto& line : scenario.beforeStart) command(line);
  ASSERT_EQ(
      start(scenario.shortcut, {.reportRelease = scenario.reportRelease, .fnKey = scenario.fnKey}),
      !scenario.beforeStart.empty());
  for (const auto& line : scenario.steps) step(line);
  expectScenarioLines(scenario, events());
}

// The same presses through an X server, as its raw key events, with no
// keyboard node to read: before the start, they are keys already held.
class X11Scenarios : public X11EndToEnd, public ::testing::WithParamInterface<Scenario> {};

TEST_P(X11Scenarios, WriteExactlyTheExpectedLines) {
  const auto& scenario = GetParam();
  for (const auto& line : scenario.beforeStart) xstep(line);
  bool namesAKey = !scenario.fnKey.empty() && scenario.fnKey != "fn";
  ASSERT_EQ(startThroughX(scenario.shortcut, {.noInputDirectory = true,
                                              .reportRelease = scenario.reportRelease,
                                              .fnKey = scenario.fnKey}),
            namesAKey);
  for (const auto& line : scenario.steps) xstep(line);
  expectScenarioLines(scenario, events());
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
  for (std::string key : {"rightctrl", "rightalt", "rightmeta", "f13"}) {
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
INSTANTIATE_TEST_SUITE_P(NamedKeyOnAPcKeyboard, X11Scenarios,
                         ::testing::ValuesIn(namedKeyOnAPcKeyboard()),
                         [](const auto& info) { return info.param.name; });

const std::vector<std::string> pcKeyboard = {"add event-kb nofn"};
const std::vector<std::string> pedal = {"add event-pedal pedal"};

const Scenario leftTwinIsAChord{"LeftTwinIsAChord",
                                "fn",
                                pcKeyboard,
                                {"press event-kb rightctrl", "press event-kb leftctrl",
                                 "release event-kb leftctrl", "release event-kb rightctrl"},
                                1,
                                true,
                                {true},
                                "rightctrl"};

INSTANTIATE_TEST_SUITE_P(
    NamedKey, Scenarios,
    ::testing::Values(
        leftTwinIsAChord,
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

const std::vector<std::string> rightCtrlHeld = {"press event-kb rightctrl"};

INSTANTIATE_TEST_SUITE_P(
    NamedKey, X11Scenarios,
    ::testing::Values(
        leftTwinIsAChord,
        Scenario{"HeldBeforeStart",
                 "fn+space",
                 rightCtrlHeld,
                 {"press event-kb space"},
                 1,
                 false,
                 {},
                 "rightctrl"},
        Scenario{"HeldBeforeStartShowsWithShift",
                 "fn",
                 rightCtrlHeld,
                 {"press event-kb leftshift", "release event-kb rightctrl"},
                 1,
                 false,
                 {},
                 "rightctrl"},
        // X reports the release of a key that is not down, as a press it never saw.
        Scenario{"SpuriousReleases",
                 "fn",
                 {},
                 {"release event-kb rightctrl", "release event-kb leftctrl",
                  "press event-kb rightctrl", "release event-kb space", "release event-kb leftctrl",
                  "release event-kb rightctrl", "release event-kb rightctrl"},
                 1,
                 true,
                 {false},
                 "rightctrl"},
        Scenario{"SpuriousReleasesOfSpace",
                 "fn+space",
                 {},
                 {"release event-kb space", "press event-kb rightalt", "release event-kb space",
                  "press event-kb space", "release event-kb space", "release event-kb space",
                  "release event-kb rightalt"},
                 1,
                 true,
                 {false},
                 "rightalt"},
        Scenario{"WhileAnotherClientGrabsTheKeyboard",
                 "fn+space",
                 {},
                 {"grab", "press event-kb rightmeta", "press event-kb space",
                  "release event-kb space", "release event-kb rightmeta",
                  "press event-kb rightmeta", "press event-kb space", "ungrab"},
                 2,
                 false,
                 {},
                 "rightmeta"},
        Scenario{"FnAloneWhileAnotherClientGrabsTheKeyboard",
                 "fn",
                 {},
                 {"grab", "press event-kb f13", "release event-kb f13", "press event-kb f13",
                  "release event-kb f13"},
                 2,
                 true,
                 {false, false},
                 "f13"},
        // Fn never reaches X: the real Fn key is nothing there.
        Scenario{"SpaceWithoutTheNamedKey",
                 "fn+space",
                 {},
                 {"press event-kb leftctrl", "press event-kb space", "release event-kb space",
                  "release event-kb leftctrl"},
                 0,
                 false,
                 {},
                 "rightctrl"}),
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

// {n} stands for the X server's display number, {home} for a folder whose
// .Xauthority holds its cookie.
std::vector<std::string> withServer(std::vector<std::string> environment, const XServer& server) {
  for (auto& entry : environment) {
    for (auto [mark, value] :
         {std::pair<std::string, std::string>{"{n}", std::to_string(server.number())},
          {"{home}", server.workDirectory()}}) {
      for (auto at = entry.find(mark); at != std::string::npos; at = entry.find(mark)) {
        entry.replace(at, mark.size(), value);
      }
    }
  }
  return environment;
}

struct X11TrustCase {
  std::string name;
  std::vector<std::string> environment;
  std::string_view fnKey;
  bool trusted;
  XServerOptions server = {};
};

void PrintTo(const X11TrustCase& c, std::ostream* os) { *os << c.name; }

class X11Trust : public X11EndToEnd, public ::testing::WithParamInterface<X11TrustCase> {};

TEST_P(X11Trust, FollowsWhetherTheSessionsRawKeysCanBeHad) {
  auto& x = server(GetParam().server);
  EXPECT_EQ(startThroughX("fn+space", {.noInputDirectory = true, .fnKey = GetParam().fnKey},
                          withServer(GetParam().environment, x)),
            GetParam().trusted);
}

const XServerOptions withCookie{.cookie = true};
const XServerOptions onTcpToo{.listenTcp = true};

INSTANTIATE_TEST_SUITE_P(
    Sessions, X11Trust,
    ::testing::Values(
        X11TrustCase{"LocalDisplay", {"DISPLAY=:{n}"}, "rightctrl", true},
        X11TrustCase{"WithAScreen", {"DISPLAY=:{n}.0"}, "rightalt", true},
        X11TrustCase{"UnixHost", {"DISPLAY=unix:{n}"}, "rightmeta", true},
        X11TrustCase{"UnixProtocol", {"DISPLAY=unix/:{n}.0"}, "f13", true},
        X11TrustCase{"X11Session", {"DISPLAY=:{n}", "XDG_SESSION_TYPE=x11"}, "f20", true},
        X11TrustCase{
            "WaylandSession", {"DISPLAY=:{n}", "XDG_SESSION_TYPE=wayland"}, "rightctrl", false},
        X11TrustCase{"WithoutANamedKey", {"DISPLAY=:{n}"}, "", false},
        X11TrustCase{"FnNamed", {"DISPLAY=:{n}"}, "fn", false},
        X11TrustCase{"DisplayUnset", {}, "rightctrl", false},
        X11TrustCase{"DisplayEmpty", {"DISPLAY="}, "rightctrl", false},
        X11TrustCase{"DisplayMalformed", {"DISPLAY=:{n}x"}, "rightctrl", false},
        X11TrustCase{"ScreenMalformed", {"DISPLAY=:{n}."}, "rightctrl", false},
        X11TrustCase{"DisplayNotANumber", {"DISPLAY=nonsense"}, "rightctrl", false},
        X11TrustCase{"NoServerThere", {"DISPLAY=:64999"}, "rightctrl", false},
        // Served on TCP as well, but only a Unix socket counts.
        X11TrustCase{"AnotherMachine", {"DISPLAY=localhost:{n}"}, "rightctrl", false, onTcpToo},
        X11TrustCase{"TcpProtocol", {"DISPLAY=tcp/localhost:{n}"}, "rightctrl", false, onTcpToo},
        X11TrustCase{"CookieFromXauthority",
                     {"DISPLAY=:{n}", "XAUTHORITY={home}/.Xauthority", "HOME=/nonexistent"},
                     "rightctrl",
                     true,
                     withCookie},
        X11TrustCase{
            "CookieFromHome", {"DISPLAY=:{n}", "HOME={home}"}, "rightctrl", true, withCookie},
        // The server's refusal, which libxcb writes to standard error, must not show there.
        X11TrustCase{"WithoutTheCookie",
                     {"DISPLAY=:{n}", "HOME=/nonexistent"},
                     "rightctrl",
                     false,
                     withCookie}),
    [](const auto& info) { return info.param.name; });

struct X11DiagnosisCase {
  std::string name;
  std::vector<std::string> environment;
  std::string_view fnKey;
  json x11;  // "xinputVersion" "2.1+": 2.1 or later
  std::vector<std::string> problemCodes;
  XServerOptions server = {};
};

void PrintTo(const X11DiagnosisCase& c, std::ostream* os) { *os << c.name; }

class X11Diagnosis : public X11EndToEnd {
 protected:
  json diagnose(const std::vector<std::string>& environment, std::string_view fnKey,
                bool noInputDirectory = true) {
    std::vector<std::string> command{helperPath(), "--diagnose"};
    if (!fnKey.empty()) command.insert(command.end(), {"--fn-key", std::string(fnKey)});
    SpawnOptions spawn;
    spawn.environment = environment;
    helper =
        std::make_unique<HelperProcess>(keyboards->runWithInput(command, noInputDirectory), spawn);
    auto lines = helper->readRemainingLines();
    EXPECT_EQ(lines.size(), 1u);
    auto status = helper->waitForExit();
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    return lines.empty() ? json() : json::parse(lines[0]);
  }
};

class X11Diagnose : public X11Diagnosis, public ::testing::WithParamInterface<X11DiagnosisCase> {};

std::vector<std::string> problemCodes(const json& diagnosis) {
  std::vector<std::string> codes;
  for (const auto& problem : diagnosis["problems"]) codes.push_back(problem["code"]);
  return codes;
}

TEST_P(X11Diagnose, SaysWhatTheXServerOffers) {
  const auto& c = GetParam();
  auto line = diagnose(withServer(c.environment, server(c.server)), c.fnKey);
  EXPECT_EQ(line["devices"], json::array());
  auto expected = c.x11;
  if (expected["xinputVersion"] == "2.1+") {
    std::smatch version;
    std::string seen = line["x11"]["xinputVersion"].is_string() ? line["x11"]["xinputVersion"] : "";
    ASSERT_TRUE(std::regex_match(seen, version, std::regex(R"(2\.(\d+))"))) << seen;
    EXPECT_GE(std::stoi(version[1]), 1);
    expected["xinputVersion"] = seen;
  }
  EXPECT_EQ(line["x11"], expected);
  EXPECT_EQ(problemCodes(line), c.problemCodes);
  EXPECT_EQ(line["accessibilityTrusted"], c.x11["used"]);
}

json x11Facts(bool display, bool connected, json xinputVersion, bool xwayland, bool used) {
  return {{"display", display},
          {"connected", connected},
          {"xinputVersion", xinputVersion},
          {"xwayland", xwayland},
          {"used", used}};
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, X11Diagnose,
    ::testing::Values(X11DiagnosisCase{"RawKeysForANamedKey",
                                       {"DISPLAY=:{n}"},
                                       "rightctrl",
                                       x11Facts(true, true, "2.1+", false, true),
                                       {}},
                      X11DiagnosisCase{"FnNeverReachesX",
                                       {"DISPLAY=:{n}"},
                                       "",
                                       x11Facts(true, true, "2.1+", false, false),
                                       {"no-input-devices", "x11-no-fn"}},
                      X11DiagnosisCase{"FnNamedNeverReachesX",
                                       {"DISPLAY=:{n}"},
                                       "fn",
                                       x11Facts(true, true, "2.1+", false, false),
                                       {"no-input-devices", "x11-no-fn"}},
                      X11DiagnosisCase{"WaylandSession",
                                       {"DISPLAY=:{n}", "XDG_SESSION_TYPE=wayland"},
                                       "rightctrl",
                                       x11Facts(true, false, nullptr, true, false),
                                       {"no-input-devices", "xwayland-only"}},
                      X11DiagnosisCase{"DisplayUnset",
                                       {},
                                       "rightctrl",
                                       x11Facts(false, false, nullptr, false, false),
                                       {"no-input-devices"}},
                      X11DiagnosisCase{"AnotherMachine",
                                       {"DISPLAY=localhost:{n}"},
                                       "",
                                       x11Facts(true, false, nullptr, false, false),
                                       {"no-input-devices"},
                                       onTcpToo},
                      X11DiagnosisCase{"WithoutTheCookie",
                                       {"DISPLAY=:{n}", "HOME=/nonexistent"},
                                       "rightctrl",
                                       x11Facts(true, false, nullptr, false, false),
                                       {"no-input-devices"},
                                       withCookie}),
    [](const auto& info) { return info.param.name; });

// Where a keyboard node can be read, the diagnosis is what it always was.
TEST_F(X11Diagnosis, SaysNothingOfXWhereAKeyboardNodeCanBeRead) {
  command("add event0 nofn");
  auto line = diagnose({"DISPLAY=" + server().display()}, "rightctrl", false);
  EXPECT_FALSE(line.contains("x11"));
  EXPECT_EQ(problemCodes(line), std::vector<std::string>{});
}

TEST_F(X11Diagnosis, StoppedServerIsNoConnection) {
  server().stop();
  auto line = diagnose({"DISPLAY=" + server().display()}, "rightctrl");
  EXPECT_EQ(line["x11"], x11Facts(true, false, nullptr, false, false));
  EXPECT_EQ(line["accessibilityTrusted"], false);
}

// The helper's sockets: its connection to the X server, when it has one.
int socketsOpen(pid_t pid) {
  int sockets = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code unreadable;
    auto target = std::filesystem::read_symlink(entry.path(), unreadable).string();
    sockets += target.rfind("socket:", 0) == 0;
  }
  return sockets;
}

TEST_F(X11EndToEnd, ServerGoneWhileRunningLeavesTheHelperWithoutKeys) {
  ASSERT_TRUE(
      startThroughX("fn", {.noInputDirectory = true, .reportRelease = true, .fnKey = "rightctrl"}));
  EXPECT_EQ(socketsOpen(helper->pid()), 1);
  xstep("press event-kb rightctrl");
  EXPECT_EQ(json::parse(helper->readLine().value_or("null")), toggleEvent("Fn"));
  server().kill();
  // The key it held goes up with the server, as with an unplugged keyboard.
  auto release = toggleEvent("Fn");
  release["type"] = "release";
  release["chord"] = false;
  EXPECT_EQ(json::parse(helper->readLine().value_or("null")), release);
  ASSERT_TRUE(waitUntilIdle(helper->pid()));
  EXPECT_EQ(socketsOpen(helper->pid()), 0);
  EXPECT_TRUE(events().empty());
  helper->sendSignal(SIGTERM);
  auto status = helper->waitForExit();
  ASSERT_TRUE(status && WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

// A stopped server takes the connection but never answers it.
TEST_F(X11EndToEnd, StoppedServerAtStartIsNoSource) {
  server().stop();
  EXPECT_FALSE(startThroughX("fn", {.noInputDirectory = true, .fnKey = "rightctrl"}));
  EXPECT_EQ(socketsOpen(helper->pid()), 0);
  server().resume();
  xstep("press event-kb rightctrl");
  EXPECT_TRUE(events().empty());
}

// A read that no socket can end, like one on a dead network mount: the
// Xauthority file is a FIFO with no writer.
TEST_F(X11EndToEnd, XauthorityThatNeverAnswersIsNoSource) {
  auto fifo = server().workDirectory() + "/never";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(startThroughX("fn", {.noInputDirectory = true, .fnKey = "rightctrl"},
                             std::vector{"DISPLAY=" + server().display(), "XAUTHORITY=" + fifo}));
  // Once the file answers, what the helper had left of the attempt goes.
  close(open(fifo.c_str(), O_WRONLY));
  for (int wait = 0; wait < 500 && socketsOpen(helper->pid()) > 0; ++wait) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(socketsOpen(helper->pid()), 0);
  xstep("press event-kb rightctrl");
  EXPECT_TRUE(events().empty());
}

TEST_F(X11EndToEnd, KeyboardNodeWinsWhenBothAreThere) {
  command("add event-kb nofn");
  ASSERT_TRUE(startThroughX("fn", {.fnKey = "rightctrl"}));
  EXPECT_EQ(socketsOpen(helper->pid()), 0);  // no X connection at all
  xstep("press event-kb rightctrl; release event-kb rightctrl");
  EXPECT_TRUE(events().empty());
  step("press event-kb rightctrl; release event-kb rightctrl");
  EXPECT_EQ(toggles("Fn"), 1);
}

// Once the node is readable, each press comes through both, one after the
// other: only one of them may count.
TEST_F(X11EndToEnd, KeyboardNodeThatBecomesReadableTakesOverFromX) {
  command("add event-locked 0200 nofn");
  ASSERT_TRUE(startThroughX("fn", {.withoutReadOverride = true, .fnKey = "rightctrl"}));
  xstep("press event-kb rightctrl; release event-kb rightctrl");
  EXPECT_EQ(json::parse(helper->readLine().value_or("null")), toggleEvent("Fn"));
  step("chmod event-locked 0600");
  EXPECT_EQ(socketsOpen(helper->pid()), 0);
  for (int press = 0; press < 2; ++press) {
    xstep("press event-kb rightctrl; release event-kb rightctrl");
    step("press event-locked rightctrl; release event-locked rightctrl");
  }
  EXPECT_EQ(toggles("Fn"), 2);
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
