#include "app/startup.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "app/arguments.h"
#include "fake_platform.h"

namespace qen {
namespace {

using Calls = std::vector<std::string>;

class Startup : public testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
  const Calls& calls() { return fake::desktop().calls; }
};

const nlohmann::json permissionEvent = {
    {"type", "permission"},
    {"kind", "accessibility"},
    {"status", "missing"},
    {"message", "Accessibility permission is required for global Fn shortcuts."}};

TEST_F(Startup, TrustedStartRunsEveryStepInOrder) {
  EXPECT_EQ(runHelper({"helper", "--shortcut", "fn+space"}), 0);
  EXPECT_EQ(calls(),
            (Calls{"isProcessTrusted prompt=false", "becomeAccessoryApplication",
                   "addGlobalMonitor 4096", "addLocalMonitor 4096", "addGlobalMonitor 1024",
                   "addLocalMonitor 1024", "write", "ignoreSignal SIGTERM", "ignoreSignal SIGINT",
                   "watchSignals qen.hotkey-helper.signals SIGTERM SIGINT", "runMainLoop"}));
  EXPECT_EQ(fake::outputEvents(),
            (std::vector<nlohmann::json>{
                {{"type", "ready"}, {"shortcut", "Fn+Space"}, {"accessibilityTrusted", true}}}));
}

TEST_F(Startup, UntrustedStartAddsPermissionAfterReady) {
  fake::desktop().trusted = false;
  EXPECT_EQ(runHelper({"helper", "--shortcut", " Globe "}), 0);
  EXPECT_EQ(fake::outputEvents(),
            (std::vector<nlohmann::json>{
                {{"type", "ready"}, {"shortcut", "Fn"}, {"accessibilityTrusted", false}},
                permissionEvent}));
  auto firstWrite = std::find(calls().begin(), calls().end(), "write");
  EXPECT_EQ(std::count(firstWrite, calls().end(), "write"), 2);
  EXPECT_EQ(*(firstWrite + 2), "ignoreSignal SIGTERM");
}

struct ErrorCase {
  std::vector<std::string> arguments;
  std::string message;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << testing::PrintToString(c.arguments); }

class StartupError : public testing::TestWithParam<ErrorCase> {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_P(StartupError, WritesOneErrorLineAndNothingElse) {
  EXPECT_EQ(runHelper(GetParam().arguments), 1);
  EXPECT_EQ(fake::desktop().calls, Calls{"write"});  // no trust query, no prompt
  EXPECT_EQ(fake::outputEvents(),
            (std::vector<nlohmann::json>{{{"type", "error"}, {"message", GetParam().message}}}));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, StartupError,
    testing::Values(
        ErrorCase{{"helper"}, "Missing --shortcut argument."},
        ErrorCase{{"helper", "--prompt-accessibility"}, "Missing --shortcut argument."},
        ErrorCase{{"helper", "--shortcut", "--prompt-accessibility"},
                  "Unsupported native shortcut: --prompt-accessibility. This helper currently "
                  "supports Fn and Fn+Space."},
        ErrorCase{{"helper", "--shortcut", "--report-release", "fn"},
                  "Unsupported native shortcut: --report-release. This helper currently "
                  "supports Fn and Fn+Space."},
        ErrorCase{{"helper", "--shortcut", "fn+\uFFFD"},
                  "Unsupported native shortcut: fn+\uFFFD. This helper currently supports Fn and "
                  "Fn+Space."},
        ErrorCase{{"helper", "--shortcut", "fn", "--fn-key"}, "Missing value for --fn-key."},
        ErrorCase{{"helper", "--shortcut", "fn", "--fn-key", " Caps Lock"},
                  "Unsupported Fn key: caps lock. Use fn, rightctrl, rightalt, rightmeta or f13 "
                  "to f20."},
        // Its value is the next element, whatever it looks like.
        ErrorCase{{"helper", "--shortcut", "fn", "--fn-key", "--report-release", "rightctrl"},
                  "Unsupported Fn key: --report-release. Use fn, rightctrl, rightalt, rightmeta "
                  "or f13 to f20."},
        ErrorCase{{"helper", "--fn-key", "--shortcut", "fn"},
                  "Unsupported Fn key: --shortcut. Use fn, rightctrl, rightalt, rightmeta or f13 "
                  "to f20."},
        // The shortcut's errors come first.
        ErrorCase{{"helper", "--fn-key", "f21", "--shortcut", "cmd"},
                  "Unsupported native shortcut: cmd. This helper currently supports Fn and "
                  "Fn+Space."},
        ErrorCase{{"helper", "--fn-key", "rightctrl"}, "Missing --shortcut argument."},
        ErrorCase{{"helper", "--shortcut", "--fn-key", "rightctrl"},
                  "Unsupported native shortcut: --fn-key. This helper currently supports Fn and "
                  "Fn+Space."},
        ErrorCase{{"helper", "--diagnose", "--fn-key", "F21"},
                  "Unsupported Fn key: f21. Use fn, rightctrl, rightalt, rightmeta or f13 to "
                  "f20."}));

struct FlagCase {
  std::vector<std::string> arguments;
  bool prompt;
  bool reportRelease = false;
  std::string fnKey = "";  // named in Fn's part, and so in "ready"
};

void PrintTo(const FlagCase& c, std::ostream* os) { *os << testing::PrintToString(c.arguments); }

class Flags : public testing::TestWithParam<FlagCase> {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_P(Flags, AreWholeCaseSensitiveElementsAnywhere) {
  runHelper(GetParam().arguments);
  auto calls = fake::desktop().calls;
  auto ready = fake::outputEvents().at(0);
  if (GetParam().fnKey.empty()) {
    EXPECT_FALSE(ready.contains("fnKey"));
  } else {
    // Before the trust query, which answers for the keyboards with that key.
    EXPECT_EQ(calls.front(), "setFnKey " + GetParam().fnKey);
    EXPECT_EQ(ready["fnKey"], GetParam().fnKey);
    calls.erase(calls.begin());
  }
  EXPECT_EQ(calls.front(),
            std::string("isProcessTrusted prompt=") + (GetParam().prompt ? "true" : "false"));
  // In fn mode only a release needs key-down monitors, for its chord.
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "addGlobalMonitor 1024"),
            GetParam().reportRelease ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, Flags,
    testing::Values(
        FlagCase{{"helper", "--prompt-accessibility", "--shortcut", "fn"}, true},
        FlagCase{{"helper", "--shortcut", "fn", "--prompt-accessibility"}, true},
        FlagCase{{"--prompt-accessibility", "--shortcut", "fn", "--prompt-accessibility"}, true},
        FlagCase{{"helper", "--shortcut", "fn"}, false},
        FlagCase{{"helper", "--shortcut", "fn", "--Prompt-Accessibility"}, false},
        FlagCase{{"helper", "--shortcut", "fn", "--prompt-accessibility=1"}, false},
        FlagCase{{"helper", "--shortcut", "fn", "-prompt-accessibility"}, false},
        FlagCase{{"helper", "--shortcut", "fn", " --prompt-accessibility"}, false},
        FlagCase{{"helper", "--report-release", "--shortcut", "fn"}, false, true},
        FlagCase{{"helper", "--shortcut", "fn", "--prompt-accessibility", "--report-release"},
                 true,
                 true},
        FlagCase{{"helper", "--shortcut", "fn", "--Report-Release", "--report-release=1"}, false},
        FlagCase{{"helper", "--shortcut", "fn", "--shortcut", "--report-release"}, false, true},
        FlagCase{
            {"helper", "--shortcut", "fn", "--fn-key", "RightCommand"}, false, false, "rightmeta"},
        FlagCase{{"helper", "--fn-key", "f13", "--shortcut", "fn", "--fn-key", "x"},
                 false,
                 false,
                 "f13"},
        FlagCase{{"--fn-key", "fn", "--shortcut", "fn"}, false, false, "fn"},
        FlagCase{{"helper", "--shortcut", "fn", "--fn-key=rightctrl", "--FN-KEY", "x"}, false}));

TEST_F(Startup, ToggleComesFromTheMainLoopAfterReady) {
  fake::desktop().duringMainLoop = [] { fake::sendFlagsChanged(0x800000); };
  runHelper({"helper", "--shortcut", "fn"});
  auto events = fake::outputEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["type"], "ready");
  EXPECT_EQ(events[1], (nlohmann::json{{"type", "toggle"}, {"shortcut", "Fn"}, {"source", "fn"}}));
}

TEST_F(Startup, SignalStopsTheMonitorThenExitsWithZero) {
  fake::desktop().duringMainLoop = [] {
    fake::desktop().calls.clear();
    try {
      fake::desktop().signalHandler();
      FAIL() << "the signal handler returned";
    } catch (const fake::ProcessExit& exit) {
      EXPECT_EQ(exit.status, 0);
    }
  };
  runHelper({"helper", "--shortcut", "fn"});
  EXPECT_EQ(calls(), (Calls{"removeMonitor 100", "removeMonitor 101", "exitProcess 0"}));
  fake::sendFlagsChanged(0x800000);
  EXPECT_EQ(fake::outputLines().size(), 1u);  // "ready" only: nothing after the stop
}

using platform::GlobeKeyAction;
using platform::InputDevice;
using platform::LinuxDesktopFacts;
using platform::MacDesktopFacts;
using platform::SystemShortcut;
using platform::SystemShortcutBinding;
using platform::WindowsDesktopFacts;
using platform::X11Facts;

// The section a problem's message sends the user to must be in the README.
bool namesAReadmeSection(const std::string& message) {
  std::smatch section;
  if (!std::regex_search(message, section, std::regex(R"re(See "([^"]+)" in the README\.$)re"))) {
    return false;
  }
  std::ifstream readme(QEN_README);
  for (std::string line; std::getline(readme, line);) {
    if (std::regex_match(line, std::regex("#+ " + section[1].str()))) return true;
  }
  return false;
}

struct DiagnosisCase {
  std::string name;
  bool trusted;
  platform::DesktopFacts facts;
  std::vector<std::string> problemCodes;
  nlohmann::json fields;                   // platform fields the line must hold
  std::string fnKey = "";                  // given with --fn-key
  std::vector<std::string> mentions = {};  // each in some problem's message
};

void PrintTo(const DiagnosisCase& c, std::ostream* os) { *os << c.name; }

class Diagnosis : public testing::TestWithParam<DiagnosisCase> {
 protected:
  void SetUp() override { fake::reset(); }
};

TEST_P(Diagnosis, WritesOneLineOfFactsAndProblemsAndNothingElse) {
  fake::desktop().trusted = GetParam().trusted;
  fake::desktop().facts = GetParam().facts;
  std::vector<std::string> arguments{"helper", "--shortcut", "fn", "--diagnose"};
  Calls expectedCalls{"isProcessTrusted prompt=false", "gatherDesktopFacts", "write"};
  nlohmann::json fields = GetParam().fields;
  if (!GetParam().fnKey.empty()) {
    arguments.insert(arguments.end(), {"--fn-key", GetParam().fnKey});
    expectedCalls.insert(expectedCalls.begin(), "setFnKey " + GetParam().fnKey);
    fields["fnKey"] = GetParam().fnKey;
  }
  EXPECT_EQ(runHelper(arguments), 0);
  EXPECT_EQ(fake::desktop().calls, expectedCalls);
  auto events = fake::outputEvents();
  ASSERT_EQ(events.size(), 1u);
  auto line = events[0];
  EXPECT_EQ(line["type"], "diagnosis");
  EXPECT_EQ(line["version"], "0.1.0");
  EXPECT_EQ(line["accessibilityTrusted"], GetParam().trusted);
  std::vector<std::string> codes;
  std::string messages;
  for (const auto& problem : line["problems"]) {
    codes.push_back(problem["code"]);
    EXPECT_TRUE(namesAReadmeSection(problem["message"])) << problem["message"];
    messages += problem["message"].get<std::string>() + "\n";
  }
  EXPECT_EQ(codes, GetParam().problemCodes);
  for (const auto& text : GetParam().mentions) {
    EXPECT_NE(messages.find(text), std::string::npos) << text << " in:\n" << messages;
  }
  for (const auto& [key, value] : fields.items()) EXPECT_EQ(line[key], value) << key;
  const char* platforms[] = {"linux", "macos", "windows"};
  EXPECT_EQ(line["platform"], platforms[GetParam().facts.index()]);
  EXPECT_EQ(line.size(), 5 + fields.size());
}

InputDevice keyboard(std::string path, bool fn = true) {
  return {.path = path, .readable = true, .name = "kbd", .keyboard = true, .reportsFn = fn};
}
InputDevice locked(std::string path) { return {.path = path}; }
InputDevice mouse(std::string path) { return {.path = path, .readable = true, .name = "mouse"}; }

const nlohmann::json fnKeyboard = {{"path", "/dev/input/event0"},
                                   {"readable", true},
                                   {"name", "kbd"},
                                   {"keyboard", true},
                                   {"fn", true}};
const nlohmann::json noFnKeyboard = [] {
  auto entry = fnKeyboard;
  entry["fn"] = false;
  return entry;
}();
const nlohmann::json lockedNode = {{"path", "/dev/input/event1"}, {"readable", false}};
const nlohmann::json mouseNode = {{"path", "/dev/input/event3"},
                                  {"readable", true},
                                  {"name", "mouse"},
                                  {"keyboard", false},
                                  {"fn", false}};

// X Input 2.4, as Xorg 21 and Xvfb offer it; or none, when nothing answered.
X11Facts xServer(bool used, bool xwayland = false) {
  return {.display = true,
          .connected = true,
          .xinputVersion = std::pair<std::uint16_t, std::uint16_t>{2, 4},
          .xwayland = xwayland,
          .used = used};
}
nlohmann::json x11Entry(bool display, bool connected, nlohmann::json version, bool xwayland,
                        bool used) {
  return {{"display", display},
          {"connected", connected},
          {"xinputVersion", version},
          {"xwayland", xwayland},
          {"used", used}};
}

constexpr platform::ModifierFlags controlBit = 0x40000, optionBit = 0x80000, commandBit = 0x100000,
                                  shiftBit = 0x20000;

// As macOS binds them until the user changes them.
const std::vector<SystemShortcutBinding> defaultShortcuts = {
    {SystemShortcut::selectPreviousInputSource, true, 49, controlBit},
    {SystemShortcut::selectNextInputSource, true, 49, controlBit | optionBit},
    {SystemShortcut::showSpotlightSearch, true, 49, commandBit}};

MacDesktopFacts macShortcuts(std::vector<SystemShortcutBinding> changed, bool secure = false) {
  auto shortcuts = defaultShortcuts;
  for (const auto& binding : changed) {
    for (auto& shortcut : shortcuts) {
      if (shortcut.shortcut == binding.shortcut) shortcut = binding;
    }
  }
  return {GlobeKeyAction::doNothing, secure, shortcuts};
}

const nlohmann::json nothingInTheWay = {{"globeKeyAction", "doNothing"},
                                        {"secureEventInput", false}};

INSTANTIATE_TEST_SUITE_P(
    Facts, Diagnosis,
    testing::Values(
        DiagnosisCase{"NoInputDevices",
                      false,
                      LinuxDesktopFacts{},
                      {"no-input-devices"},
                      {{"devices", nlohmann::json::array()}, {"sessionType", nullptr}}},
        DiagnosisCase{"OnlyUnreadableNodes",
                      false,
                      LinuxDesktopFacts{{locked("/dev/input/event1")}, "x11"},
                      {"no-readable-keyboard"},
                      {{"devices", {lockedNode}}, {"sessionType", "x11"}}},
        DiagnosisCase{"OnlyAMouse",
                      false,
                      LinuxDesktopFacts{{mouse("/dev/input/event3")}},
                      {"no-readable-keyboard"},
                      {{"devices",
                        {{{"path", "/dev/input/event3"},
                          {"readable", true},
                          {"name", "mouse"},
                          {"keyboard", false},
                          {"fn", false}}}},
                       {"sessionType", nullptr}}},
        DiagnosisCase{
            "KeyboardWithoutFnBesideALockedNode",
            true,
            LinuxDesktopFacts{{keyboard("/dev/input/event0", false), locked("/dev/input/event1")}},
            {"no-fn-key"},
            {{"devices", {noFnKeyboard, lockedNode}}, {"sessionType", nullptr}}},
        DiagnosisCase{"KeyboardWithFn",
                      true,
                      LinuxDesktopFacts{
                          {keyboard("/dev/input/event0"), locked("/dev/input/event1")}, "wayland"},
                      {},
                      {{"devices", {fnKeyboard, lockedNode}}, {"sessionType", "wayland"}}},
        DiagnosisCase{"BytesThatAreNotUtf8StayOneValidLine",
                      true,
                      LinuxDesktopFacts{{{.path = "/dev/input/event0",
                                          .readable = true,
                                          .name = "kb\xFF",
                                          .keyboard = true,
                                          .reportsFn = true}},
                                        "\xC3"},
                      {},
                      {{"devices",
                        {{{"path", "/dev/input/event0"},
                          {"readable", true},
                          {"name", "kb\uFFFD"},
                          {"keyboard", true},
                          {"fn", true}}}},
                       {"sessionType", "\uFFFD"}}},
        DiagnosisCase{"MacNothingInTheWay",
                      true,
                      MacDesktopFacts{GlobeKeyAction::doNothing, false},
                      {},
                      {{"globeKeyAction", "doNothing"}, {"secureEventInput", false}}},
        DiagnosisCase{"MacEverythingInTheWay",
                      false,
                      MacDesktopFacts{GlobeKeyAction::systemDefault, true, defaultShortcuts},
                      {"not-trusted", "globe-key-has-action", "secure-event-input"},
                      {{"globeKeyAction", "systemDefault"}, {"secureEventInput", true}},
                      "",
                      {"The app may not watch the keyboard. Allow it",
                       "hides key presses, so Fn+Space, from other apps."}},
        DiagnosisCase{"MacChangeInputSource",
                      true,
                      MacDesktopFacts{GlobeKeyAction::changeInputSource, false},
                      {"globe-key-has-action"},
                      {{"globeKeyAction", "changeInputSource"}, {"secureEventInput", false}}},
        DiagnosisCase{"MacShowEmojiAndSymbols",
                      true,
                      MacDesktopFacts{GlobeKeyAction::showEmojiAndSymbols, false},
                      {"globe-key-has-action"},
                      {{"globeKeyAction", "showEmojiAndSymbols"}, {"secureEventInput", false}}},
        DiagnosisCase{"MacStartDictation",
                      true,
                      MacDesktopFacts{GlobeKeyAction::startDictation, false},
                      {"globe-key-has-action"},
                      {{"globeKeyAction", "startDictation"}, {"secureEventInput", false}}},
        DiagnosisCase{"MacUnknownAction",
                      true,
                      MacDesktopFacts{GlobeKeyAction::unknown, false},
                      {"globe-key-has-action"},
                      {{"globeKeyAction", "unknown"}, {"secureEventInput", false}}},
        DiagnosisCase{"NamedKeyOnNoKeyboard",
                      true,
                      LinuxDesktopFacts{{keyboard("/dev/input/event0", false)}},
                      {"no-fn-key"},
                      {{"devices", {noFnKeyboard}}, {"sessionType", nullptr}},
                      "rightctrl"},
        DiagnosisCase{"NoKeyboardForTheNamedKey",
                      false,
                      LinuxDesktopFacts{{mouse("/dev/input/event3")}},
                      {"no-readable-keyboard"},
                      {{"sessionType", nullptr}, {"devices", {mouseNode}}},
                      "f13"},
        // The globe key keeps its action while another key plays Fn's part.
        DiagnosisCase{"MacGlobeKeyActionWithAnotherKey",
                      true,
                      MacDesktopFacts{GlobeKeyAction::startDictation, false},
                      {},
                      {{"globeKeyAction", "startDictation"}, {"secureEventInput", false}},
                      "rightalt"},
        DiagnosisCase{"MacGlobeKeyActionWithFnNamed",
                      true,
                      MacDesktopFacts{GlobeKeyAction::startDictation, false},
                      {"globe-key-has-action"},
                      {{"globeKeyAction", "startDictation"}, {"secureEventInput", false}},
                      "fn"},
        // Right Command + Space is Command+Space, Spotlight's by default.
        DiagnosisCase{"MacSpotlightTakesRightCommand",
                      true,
                      macShortcuts({}),
                      {"system-shortcut"},
                      nothingInTheWay,
                      "rightmeta",
                      {"Right Command and Space make Command+Space", "\"Show Spotlight search\"",
                       "Keyboard Shortcuts > Spotlight"}},
        DiagnosisCase{
            "MacPreviousInputSourceTakesRightControl",
            true,
            macShortcuts({}),
            {"system-shortcut"},
            nothingInTheWay,
            "rightctrl",
            {"Right Control and Space make Control+Space", "\"Select the previous input source\"",
             "Keyboard Shortcuts > Input Sources"}},
        // Option+Space types a no-break space instead, but no shortcut takes it.
        DiagnosisCase{"MacNoShortcutTakesRightOption",
                      true,
                      macShortcuts({}),
                      {},
                      nothingInTheWay,
                      "rightalt"},
        DiagnosisCase{"MacShortcutTurnedOff",
                      true,
                      macShortcuts({{SystemShortcut::showSpotlightSearch, false, 49, commandBit}}),
                      {},
                      nothingInTheWay,
                      "rightmeta"},
        // What the entry binds now counts, not what macOS binds by default.
        DiagnosisCase{
            "MacShortcutMovedAway",
            true,
            macShortcuts({{SystemShortcut::showSpotlightSearch, true, 49, commandBit | shiftBit},
                          {SystemShortcut::selectPreviousInputSource, true, 40, controlBit}}),
            {},
            nothingInTheWay,
            "rightmeta"},
        DiagnosisCase{"MacShortcutMovedHere",
                      true,
                      macShortcuts({{SystemShortcut::showSpotlightSearch, true, 49, optionBit}}),
                      {"system-shortcut"},
                      nothingInTheWay,
                      "rightalt",
                      {"Right Option and Space make Option+Space", "\"Show Spotlight search\""}},
        DiagnosisCase{
            "MacTwoShortcutsTakeIt",
            true,
            macShortcuts({{SystemShortcut::selectNextInputSource, true, 49, controlBit}}),
            {"system-shortcut", "system-shortcut"},
            nothingInTheWay,
            "rightctrl",
            {"\"Select the previous input source\"", "\"Select next source in Input menu\""}},
        DiagnosisCase{
            "MacNoShortcutTakesAnFKey", true, macShortcuts({}), {}, nothingInTheWay, "f13"},
        // An F-key's presses are key events, which both hide.
        DiagnosisCase{
            "MacWhatHidesKeysHidesTheFKey",
            false,
            macShortcuts({}, true),
            {"not-trusted", "secure-event-input"},
            {{"globeKeyAction", "doNothing"}, {"secureEventInput", true}},
            "f17",
            {"watch the keyboard: no press of F17 (the key that --fn-key names) in another",
             "so Fn+Space and F17 (the key that --fn-key names), "}},
        DiagnosisCase{"MacSecureEventInputAfterASystemShortcut",
                      true,
                      macShortcuts({}, true),
                      {"system-shortcut", "secure-event-input"},
                      {{"globeKeyAction", "doNothing"}, {"secureEventInput", true}},
                      "rightmeta",
                      {"hides key presses, so Fn+Space, from other apps."}},
        // Windows never receives Fn: only a named key can toggle.
        DiagnosisCase{"WindowsWithoutFnKey",
                      true,
                      WindowsDesktopFacts{"00000409", false, false},
                      {"no-fn-key"},
                      {{"keyboardLayout", "00000409"}, {"altGr", false}, {"elevated", false}}},
        DiagnosisCase{"WindowsWithFnNamed",
                      true,
                      WindowsDesktopFacts{"00000409", false, true},
                      {"no-fn-key"},
                      {{"keyboardLayout", "00000409"}, {"altGr", false}, {"elevated", true}},
                      "fn"},
        DiagnosisCase{"WindowsRightCtrlOnAnAltGrLayout",
                      true,
                      WindowsDesktopFacts{"04070407", true, false},
                      {},
                      {{"keyboardLayout", "04070407"}, {"altGr", true}, {"elevated", false}},
                      "rightctrl"},
        DiagnosisCase{"WindowsRightAltOnAnAltGrLayout",
                      true,
                      WindowsDesktopFacts{"04070407", true, false},
                      {"altgr-fn-key"},
                      {{"keyboardLayout", "04070407"}, {"altGr", true}, {"elevated", false}},
                      "rightalt"},
        DiagnosisCase{"WindowsRightAltWithoutAltGr",
                      true,
                      WindowsDesktopFacts{"00000409", false, false},
                      {},
                      {{"keyboardLayout", "00000409"}, {"altGr", false}, {"elevated", false}},
                      "rightalt"},
        DiagnosisCase{"WindowsHookRefused",
                      false,
                      WindowsDesktopFacts{"00000409", false, false},
                      {"no-keyboard-hook", "no-fn-key"},
                      {{"keyboardLayout", "00000409"}, {"altGr", false}, {"elevated", false}}},
        // Only where no keyboard node can be read is there an X server to report on.
        DiagnosisCase{"X11KeysStandInForTheLockedNodes",
                      true,
                      LinuxDesktopFacts{{locked("/dev/input/event1")}, "x11", xServer(true)},
                      {},
                      {{"devices", {lockedNode}},
                       {"sessionType", "x11"},
                       {"x11", x11Entry(true, true, "2.4", false, true)}},
                      "rightctrl"},
        DiagnosisCase{"X11NeverSeesFn",
                      false,
                      LinuxDesktopFacts{{locked("/dev/input/event1")}, "x11", xServer(false)},
                      {"no-readable-keyboard", "x11-no-fn"},
                      {{"devices", {lockedNode}},
                       {"sessionType", "x11"},
                       {"x11", x11Entry(true, true, "2.4", false, false)}}},
        DiagnosisCase{"X11NeverSeesFnNamedEither",
                      false,
                      LinuxDesktopFacts{{}, std::nullopt, xServer(false)},
                      {"no-input-devices", "x11-no-fn"},
                      {{"devices", nlohmann::json::array()},
                       {"sessionType", nullptr},
                       {"x11", x11Entry(true, true, "2.4", false, false)}},
                      "fn"},
        // Raw keys stop during another client's grab before 2.1: not used,
        // and naming a key would not help.
        DiagnosisCase{"XInputTooOld",
                      false,
                      LinuxDesktopFacts{
                          {},
                          std::nullopt,
                          X11Facts{.display = true,
                                   .connected = true,
                                   .xinputVersion = std::pair<std::uint16_t, std::uint16_t>{2, 0}}},
                      {"no-input-devices"},
                      {{"devices", nlohmann::json::array()},
                       {"sessionType", nullptr},
                       {"x11", x11Entry(true, true, "2.0", false, false)}}},
        DiagnosisCase{
            "NoXInput",
            false,
            LinuxDesktopFacts{{}, std::nullopt, X11Facts{.display = true, .connected = true}},
            {"no-input-devices"},
            {{"devices", nlohmann::json::array()},
             {"sessionType", nullptr},
             {"x11", x11Entry(true, true, nullptr, false, false)}},
            "rightalt"},
        DiagnosisCase{"XwaylandServer",
                      false,
                      LinuxDesktopFacts{{locked("/dev/input/event1")}, "x11", xServer(false, true)},
                      {"no-readable-keyboard", "xwayland-only"},
                      {{"devices", {lockedNode}},
                       {"sessionType", "x11"},
                       {"x11", x11Entry(true, true, "2.4", true, false)}},
                      "rightmeta"},
        DiagnosisCase{"WaylandSessionIsNotTried",
                      false,
                      LinuxDesktopFacts{{}, "wayland", X11Facts{.display = true, .xwayland = true}},
                      {"no-input-devices", "xwayland-only"},
                      {{"devices", nlohmann::json::array()},
                       {"sessionType", "wayland"},
                       {"x11", x11Entry(true, false, nullptr, true, false)}}},
        DiagnosisCase{"NoDisplay",
                      false,
                      LinuxDesktopFacts{{mouse("/dev/input/event3")}, std::nullopt, X11Facts{}},
                      {"no-readable-keyboard"},
                      {{"sessionType", nullptr},
                       {"devices", {mouseNode}},
                       {"x11", x11Entry(false, false, nullptr, false, false)}},
                      "f13"}),
    [](const auto& info) { return info.param.name; });

TEST_F(Startup, DiagnoseIsAnOptionAnywhereButInTheShortcutsPlace) {
  EXPECT_EQ(runHelper({"--diagnose"}), 0);
  EXPECT_EQ(fake::outputEvents().at(0)["type"], "diagnosis");
  fake::reset();
  EXPECT_EQ(runHelper({"helper", "--shortcut", "--diagnose"}), 1);
  EXPECT_EQ(fake::outputEvents().at(0)["type"], "error");
}

TEST(ArgumentVector, DecodesEveryElementWithReplacement) {
  const char* argv[] = {"/bin/\xFFhelper", "--shortcut", "fn\xC3"};
  EXPECT_EQ(argumentVector(3, argv),
            (std::vector<std::string>{"/bin/\uFFFDhelper", "--shortcut", "fn\uFFFD"}));
}

}  // namespace
}  // namespace qen
