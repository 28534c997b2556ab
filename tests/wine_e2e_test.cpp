// The Windows helper, as built for hosts, driven under Wine with keys sent by
// SendInput (winkeys) and, once, typed into an X server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "support/wine_desktop.h"

namespace qen::testing {
namespace {

json toggle(const std::string& shortcut) {
  bool fn = shortcut == "Fn";
  return {{"type", "toggle"}, {"shortcut", shortcut}, {"source", fn ? "fn" : "fn+space"}};
}

json release(const std::string& shortcut, bool chord) {
  auto line = toggle(shortcut);
  line["type"] = "release";
  line["chord"] = chord;
  return line;
}

const json T = toggle("Fn"), S = toggle("Fn+Space");
const json R = release("Fn", false), RC = release("Fn", true);
const json SR = release("Fn+Space", false), SRC = release("Fn+Space", true);

struct Scenario {
  std::string name;
  std::string shortcut;
  std::string_view fnKey;
  bool reportRelease;
  std::vector<std::string> keys;  // winkeys lines
  std::vector<json> lines;
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class Keys : public WineEndToEnd, public ::testing::WithParamInterface<Scenario> {};

TEST_P(Keys, WriteExactlyTheExpectedLines) {
  const auto& s = GetParam();
  start(s.shortcut, {.reportRelease = s.reportRelease, .fnKey = s.fnKey});
  for (const auto& line : s.keys) keys(line);
  EXPECT_EQ(linesSoFar(s.lines.size()), s.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Wine, Keys,
    ::testing::Values(
        Scenario{"FnRightCtrl",
                 "fn",
                 "rightctrl",
                 false,
                 {"press rightctrl", "release rightctrl", "press rightctrl", "release rightctrl"},
                 {T, T}},
        Scenario{"FnRightCtrlReleaseThenChord",
                 "fn",
                 "rightctrl",
                 true,
                 {"press rightctrl", "release rightctrl", "press rightctrl", "press a", "release a",
                  "release rightctrl"},
                 {T, R, T, RC}},
        Scenario{"FnSpaceOncePerPress",
                 "fn+space",
                 "rightctrl",
                 false,
                 {"press rightctrl", "press space", "repeat space", "release space", "press space",
                  "release space", "release rightctrl", "press rightctrl", "press space",
                  "release space", "release rightctrl"},
                 {S, S}},
        Scenario{"FnSpaceReleaseAtSpaceThenChordAtCtrl",
                 "fn+space",
                 "rightctrl",
                 true,
                 {"press rightctrl", "press space", "repeat space", "release space", "press a",
                  "release a", "release rightctrl", "press rightctrl", "press space",
                  "press leftshift", "release leftshift", "release rightctrl", "release space"},
                 {S, SR, S, SRC}},
        Scenario{
            "F13AndItsRepeats",
            "fn",
            "f13",
            true,
            {"press f13", "repeat f13", "repeat f13", "release f13", "press f13", "release f13"},
            {T, R, T, R}},
        Scenario{"AutoRepeatIsNoPressAndNoChord",
                 "fn+space",
                 "rightalt",
                 true,
                 {"press rightalt", "repeat rightalt", "press space", "repeat space",
                  "repeat rightalt", "release space", "release rightalt"},
                 {S, SR}},
        Scenario{"LeftCtrlIsAChordOfRightCtrl",
                 "fn",
                 "rightctrl",
                 true,
                 {"press rightctrl", "press leftctrl", "release leftctrl", "release rightctrl"},
                 {T, RC}},
        // AltGr's made-up Left Ctrl is no key: no chord.
        Scenario{"AltGrsLeftCtrlAtRightAltsTime",
                 "fn",
                 "rightalt",
                 true,
                 {"altgr press scan=0x1d", "altgr press scan=0x1d", "altgr release scan=0x1d"},
                 {T, R}},
        Scenario{"AltGrsLeftCtrlByItsScanCode",
                 "fn+space",
                 "rightalt",
                 true,
                 {"altgr press", "press space", "release space", "altgr release"},
                 {S, SR}},
        Scenario{"RightCtrlUnnamedIsAModifier",
                 "fn",
                 "f14",
                 true,
                 {"press rightctrl", "release rightctrl", "press f14", "press rightctrl",
                  "release rightctrl", "release f14"},
                 {T, RC}}),
    [](const auto& info) { return info.param.name; });

TEST_F(WineEndToEnd, ReadyIsTrustedAndNamesTheKey) {
  EXPECT_EQ(start("Fn + Space", {.fnKey = "RightCtrl"}), (json{{"type", "ready"},
                                                               {"shortcut", "Fn+Space"},
                                                               {"accessibilityTrusted", true},
                                                               {"fnKey", "rightctrl"}}));
  helper.reset();
  // Without --fn-key it starts as everywhere else, although nothing can toggle.
  launch({"--shortcut", "fn"});
  EXPECT_EQ(helper->readLine(std::chrono::seconds(30)).value_or(""),
            R"({"type":"ready","shortcut":"Fn","accessibilityTrusted":true})");
}

struct ErrorCase {
  std::string name;
  std::vector<std::string> arguments;
  std::string line;
  bool escapes = false;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class Errors : public WineEndToEnd, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(Errors, OneLineByteForByteAndStatusOne) {
  launch(GetParam().arguments, false, GetParam().escapes);
  EXPECT_EQ(helper->readRemainingLines(std::chrono::seconds(30)),
            std::vector<std::string>{GetParam().line});
  auto status = helper->waitForExit();
  ASSERT_TRUE(status && WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Wine, Errors,
    ::testing::Values(
        ErrorCase{"Missing", {}, R"({"type":"error","message":"Missing --shortcut argument."})"},
        ErrorCase{
            "Unsupported",
            {"--shortcut", "Fn + Cmd"},
            R"({"type":"error","message":"Unsupported native shortcut: fn+cmd. This helper currently supports Fn and Fn+Space."})"},
        // The command line is UTF-16: text outside ASCII arrives whole.
        ErrorCase{"OutsideAscii",
                  {"--shortcut", "FN+\u00C4\u20AC"},
                  "{\"type\":\"error\",\"message\":\"Unsupported native shortcut: fn+\u00E4\u20AC. "
                  "This helper currently supports Fn and Fn+Space.\"}"},
        ErrorCase{"UnpairedSurrogateIsReplaced",
                  {"--shortcut", "fn+\\uD800x"},
                  "{\"type\":\"error\",\"message\":\"Unsupported native shortcut: fn+\uFFFDx. This "
                  "helper currently supports Fn and Fn+Space.\"}",
                  true},
        ErrorCase{"PairedSurrogatesStay",
                  {"--shortcut", "fn+\\uD83C\\uDF10"},
                  "{\"type\":\"error\",\"message\":\"Unsupported native shortcut: fn+\U0001F310. "
                  "This helper currently supports Fn and Fn+Space.\"}",
                  true},
        ErrorCase{
            "QuotesAndBackslashes",
            {"--shortcut", "\"fn\\\\\""},
            R"({"type":"error","message":"Unsupported native shortcut: \"fn\\\". This helper currently supports Fn and Fn+Space."})",
            true},
        ErrorCase{
            "UnknownFnKey",
            {"--shortcut", "fn", "--fn-key", "F21"},
            R"({"type":"error","message":"Unsupported Fn key: f21. Use fn, rightctrl, rightalt, rightmeta or f13 to f20."})"}),
    [](const auto& info) { return info.param.name; });

struct DiagnoseCase {
  std::string name;
  std::vector<std::string> arguments;
  std::string fnKey;
  std::vector<std::string> problemCodes;
};

void PrintTo(const DiagnoseCase& c, std::ostream* os) { *os << c.name; }

class Diagnose : public WineEndToEnd, public ::testing::WithParamInterface<DiagnoseCase> {};

TEST_P(Diagnose, SaysWhatStandsInTheWay) {
  launch(GetParam().arguments);
  auto lines = helper->readRemainingLines(std::chrono::seconds(30));
  ASSERT_EQ(lines.size(), 1u);
  auto line = json::parse(lines[0]);
  EXPECT_EQ(line["type"], "diagnosis");
  EXPECT_EQ(line["platform"], "windows");
  EXPECT_EQ(line["accessibilityTrusted"], true);
  EXPECT_EQ(line.value("fnKey", ""), GetParam().fnKey);
  ASSERT_TRUE(line["keyboardLayout"].is_string());
  EXPECT_EQ(line["keyboardLayout"].get<std::string>().size(), 8u);
  // Wine's US layout types nothing with Ctrl+Alt.
  EXPECT_EQ(line["altGr"], false);
  EXPECT_TRUE(line["elevated"].is_boolean());
  std::vector<std::string> codes;
  for (const auto& problem : line["problems"]) codes.push_back(problem["code"]);
  EXPECT_EQ(codes, GetParam().problemCodes);
  auto status = helper->waitForExit();
  ASSERT_TRUE(status && WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Wine, Diagnose,
    ::testing::Values(
        DiagnoseCase{"WithoutFnKey", {"--diagnose"}, "", {"no-fn-key"}},
        DiagnoseCase{"WithFnNamed", {"--diagnose", "--fn-key", "fn"}, "fn", {"no-fn-key"}},
        DiagnoseCase{"WithRightCtrl", {"--fn-key", "rightctrl", "--diagnose"}, "rightctrl", {}},
        // Right Alt is no AltGr on this layout.
        DiagnoseCase{"WithRightAlt", {"--diagnose", "--fn-key", "rightalt"}, "rightalt", {}}),
    [](const auto& info) { return info.param.name; });

// Gone, or a zombie that its new parent has not reaped yet, within a few
// seconds: its streams close before the process has quite ended.
bool hasEnded(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string fields;
    std::getline(stat, fields);
    auto state = fields.rfind(") ");
    if (fields.empty() || (state != std::string::npos && fields[state + 2] == 'Z')) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The helper's own status, as its Windows parent passes it on.
int exitStatus(HelperProcess& parent) {
  auto status = parent.waitForExit();
  EXPECT_TRUE(status && WIFEXITED(*status));
  return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

TEST_F(WineEndToEnd, EndOfStandardInputStopsItWithZero) {
  start("fn", {.fnKey = "rightctrl", .inputPipe = true});
  // What arrives there is read and dropped.
  ASSERT_TRUE(helper->writeStandardInput("{\"type\":\"stop\"}\nanything\n"));
  keys("press rightctrl;release rightctrl");
  EXPECT_EQ(linesSoFar(1), std::vector<json>{T});
  helper->closeStandardInput();
  EXPECT_EQ(exitStatus(*helper), 0);
  EXPECT_TRUE(helper->readRemainingLines().empty());
}

TEST_F(WineEndToEnd, CtrlCStopsItWithZero) {
  start("fn+space", {.fnKey = "rightctrl"});
  pid_t pid = helperPid();
  ASSERT_GT(pid, 0);
  // Wine turns SIGINT into the console's CTRL_C_EVENT.
  kill(pid, SIGINT);
  EXPECT_EQ(exitStatus(*helper), 0);
  EXPECT_TRUE(helper->readRemainingLines().empty());
}

TEST_F(WineEndToEnd, EndsWhenItsParentEnds) {
  start("fn", {.fnKey = "rightctrl"});
  pid_t pid = helperPid();
  ASSERT_GT(pid, 0);
  helper->sendSignal(SIGKILL);  // the Windows parent
  // Its standard output, which the parent shared, closes when it ends.
  EXPECT_TRUE(helper->readRemainingLines(std::chrono::seconds(10)).empty());
  EXPECT_TRUE(hasEnded(pid));
}

TEST_F(WineEndToEnd, EndsWhenTheReaderOfItsOutputGoes) {
  start("fn", {.fnKey = "f13"});
  helper->closeStandardOutput();
  // Windows tells a writer, not an idle helper: the next line fails.
  keys("press f13;release f13");
  EXPECT_EQ(exitStatus(*helper), 0);
}

// Keys that are not injected: typed into the X server, which hands them to
// the Wine window that has the focus.
TEST_F(WineEndToEnd, KeysTypedIntoAFocusedWineWindow) {
  if (std::string(QEN_XKEYS_PATH).empty()) GTEST_SKIP() << "xkeys was not built (libxcb-xtest)";
  FILE* display = popen(QEN_SOURCE_DIR "/tests/windows/wine.sh --start", "r");
  char name[64] = {};
  ASSERT_TRUE(display != nullptr && std::fgets(name, sizeof name, display) != nullptr);
  pclose(display);
  std::string x(name);
  x.erase(x.find_last_not_of("\n") + 1);
  HelperProcess window(underWine({winkeysPath(), "--window"}));
  ASSERT_EQ(window.readLine(std::chrono::seconds(30)).value_or(""), "ready");
  start("fn+space", {.reportRelease = true, .fnKey = "rightctrl"});
  // Right Ctrl and Space of the evdev key map, by their codes: a keysym
  // would bring its modifiers along.
  std::string typing = "DISPLAY=" + x + " " QEN_XKEYS_PATH
                       " 'focus winkeys' 'press 105;press 65;release 65;release 105' >/dev/null";
  ASSERT_EQ(std::system(typing.c_str()), 0);
  EXPECT_EQ(linesSoFar(2), (std::vector<json>{S, SR}));
  EXPECT_EQ(window.standardError(), "");
}

}  // namespace
}  // namespace qen::testing
