// The built helper, run as a host runs it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "support/helper_process.h"

namespace qen::testing {
namespace {

using nlohmann::json;

std::vector<std::string> helperWith(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), helperPath());
  return arguments;
}

bool exitedWith(std::optional<int> status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

struct ErrorCase {
  std::vector<std::string> arguments;
  std::string message;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.arguments); }

class ProcessError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ProcessError, OneErrorLineStatusOneNothingOnStandardError) {
  HelperProcess helper(helperWith(GetParam().arguments));
  auto lines = helper.readRemainingLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(json::parse(lines[0]), (json{{"type", "error"}, {"message", GetParam().message}}));
  EXPECT_TRUE(helper.pendingBytes().empty());
  EXPECT_TRUE(exitedWith(helper.waitForExit(), 1));
  EXPECT_EQ(helper.standardError(), "");
}

const std::string unsupportedEnd = ". This helper currently supports Fn and Fn+Space.";

INSTANTIATE_TEST_SUITE_P(
    Arguments, ProcessError,
    ::testing::Values(ErrorCase{{}, "Missing --shortcut argument."},
                      ErrorCase{{"--shortcut"}, "Missing --shortcut argument."},
                      ErrorCase{{"--shortcut", "cmd+k", "--prompt-accessibility"},
                                "Unsupported native shortcut: cmd+k" + unsupportedEnd},
                      ErrorCase{{"--shortcut", "FN+\xC3\x84\xFF"},
                                "Unsupported native shortcut: fn+\u00E4\uFFFD" + unsupportedEnd},
                      ErrorCase{{"--shortcut", "a\"b\\c\nd"},
                                "Unsupported native shortcut: a\"b\\c\nd" + unsupportedEnd}));

TEST(Process, LongErrorLineArrivesWhole) {
  std::string value(120 * 1024, 'k');
  HelperProcess helper(helperWith({"--shortcut", value}));
  auto lines = helper.readRemainingLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(json::parse(lines[0])["message"],
            "Unsupported native shortcut: " + value + unsupportedEnd);
  EXPECT_TRUE(exitedWith(helper.waitForExit(), 1));
}

// Reads the start-up lines: "ready", then "permission" exactly when untrusted.
void expectStartupLines(HelperProcess& helper, const std::string& shortcut) {
  auto ready = helper.readLine();
  ASSERT_TRUE(ready);
  auto event = json::parse(*ready);
  EXPECT_EQ(event["type"], "ready");
  EXPECT_EQ(event["shortcut"], shortcut);
  ASSERT_TRUE(event["accessibilityTrusted"].is_boolean());
  if (event["accessibilityTrusted"] == false) {
    auto permission = helper.readLine();
    ASSERT_TRUE(permission);
    EXPECT_EQ(json::parse(*permission)["type"], "permission");
  }
}

struct SignalCase {
  std::string shortcut;
  std::vector<int> signals;
};

void PrintTo(const SignalCase& c, std::ostream* os) {
  *os << c.shortcut << " " << ::testing::PrintToString(c.signals);
}

class ProcessSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(ProcessSignal, EndsWithStatusZeroAndWritesNothingMore) {
  HelperProcess helper(helperWith({"--shortcut", GetParam().shortcut}));
  expectStartupLines(helper, GetParam().shortcut == "fn" ? "Fn" : "Fn+Space");
  // The watchers are installed right after the start-up lines; give the
  // helper a moment to reach them so that no signal meets the default action.
  std::this_thread::sleep_for(100ms);
  for (int signal : GetParam().signals) helper.sendSignal(signal);
  EXPECT_TRUE(exitedWith(helper.waitForExit(), 0));
  EXPECT_TRUE(helper.readRemainingLines().empty());
  EXPECT_TRUE(helper.pendingBytes().empty());
  EXPECT_EQ(helper.standardError(), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, ProcessSignal,
                         ::testing::Values(SignalCase{"fn", {SIGTERM}},
                                           SignalCase{"fn+space", {SIGINT}},
                                           SignalCase{"fn+space", {SIGTERM, SIGINT, SIGTERM}},
                                           SignalCase{"fn", {SIGINT, SIGINT}}));

TEST(Process, KeepsRunningUntilSignalled) {
  HelperProcess helper(helperWith({"--shortcut", "fn+space", "--prompt-accessibility"}));
  expectStartupLines(helper, "Fn+Space");
  EXPECT_FALSE(helper.waitForExit(300ms));
  helper.sendSignal(SIGTERM);
  EXPECT_TRUE(exitedWith(helper.waitForExit(), 0));
}

}  // namespace
}  // namespace qen::testing
