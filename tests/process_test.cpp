// The built helper, run as a host runs it.
#include <fcntl.h>
#include <gtest/gtest.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>

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
                      ErrorCase{{"--shortcut", "--diagnose"},
                                "Unsupported native shortcut: --diagnose" + unsupportedEnd},
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
  EXPECT_EQ(helper.standardError(), "");
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

TEST(Process, DiagnoseBesideAShortcutWritesOnlyTheDiagnosis) {
  HelperProcess helper(helperWith({"--shortcut", "fn", "--diagnose", "--report-release"}));
  auto lines = helper.readRemainingLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(json::parse(lines[0])["type"], "diagnosis");
  EXPECT_TRUE(exitedWith(helper.waitForExit(), 0));
  EXPECT_EQ(helper.standardError(), "");
}

TEST(Process, KeepsRunningUntilSignalled) {
  HelperProcess helper(helperWith({"--shortcut", "fn+space", "--prompt-accessibility"}));
  expectStartupLines(helper, "Fn+Space");
  EXPECT_FALSE(helper.waitForExit(300ms));
  helper.sendSignal(SIGTERM);
  EXPECT_TRUE(exitedWith(helper.waitForExit(), 0));
}

}  // namespace
}  // namespace qen::testing

namespace qen::testing {
namespace {

// Linux only: the test adopts the orphan as a subreaper, only Linux's helper
// notices a closed pipe before it has a line to write, and a start without
// standard output has been seen only here.
#ifdef __linux__
TEST(Process, EndsWithZeroWhenTheHostDies) {
  // As subreaper we inherit the orphaned helper and can read its status.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  int pidPipe[2];
  ASSERT_EQ(pipe2(pidPipe, O_CLOEXEC), 0);
  pid_t host = fork();
  if (host == 0) {
    pid_t helper = fork();
    if (helper == 0) {
      int devNull = open("/dev/null", O_WRONLY);
      dup2(devNull, 1);
      execl(helperPath().c_str(), helperPath().c_str(), "--shortcut", "fn", nullptr);
      _exit(127);
    }
    if (write(pidPipe[1], &helper, sizeof helper) != sizeof helper) _exit(1);
    pause();
    _exit(0);
  }
  close(pidPipe[1]);
  pid_t helper = -1;
  ASSERT_EQ(read(pidPipe[0], &helper, sizeof helper), static_cast<ssize_t>(sizeof helper));
  close(pidPipe[0]);
  std::this_thread::sleep_for(200ms);  // let it reach its main loop
  kill(host, SIGKILL);
  waitpid(host, nullptr, 0);
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (waitpid(helper, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  kill(helper, SIGKILL);  // in case it lingers
  waitpid(helper, nullptr, WNOHANG);
}

TEST(Process, EndsWithZeroWhenTheHostStopsReading) {
  HelperProcess helper(helperWith({"--shortcut", "fn+space"}));
  ASSERT_TRUE(helper.readLine());
  helper.closeStandardOutput();
  EXPECT_TRUE(exitedWith(helper.waitForExit(), 0));
  EXPECT_EQ(helper.standardError(), "");
}

// Else the host watch takes descriptor 1, every line fails there unseen, and
// the helper runs on for ever.
TEST(Process, EndsAtOnceWhenStartedWithoutStandardOutput) {
  HelperProcess helper(helperWith({"--shortcut", "fn+space"}), {.closedOutput = true});
  EXPECT_TRUE(exitedWith(helper.waitForExit(1s), 0));
  EXPECT_EQ(helper.standardError(), "");
}
#endif

TEST(Process, LargestArgumentTheKernelTakes) {
  std::string value(128 * 1024 - 1, 'x');  // one element of 128 KiB with its NUL
  HelperProcess rejected(helperWith({"--shortcut", value}));
  auto lines = rejected.readRemainingLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(json::parse(lines[0])["message"],
            "Unsupported native shortcut: " + value + unsupportedEnd);
  EXPECT_TRUE(exitedWith(rejected.waitForExit(), 1));

  HelperProcess accepted(helperWith({value, "--shortcut", "fn", value}));
  expectStartupLines(accepted, "Fn");
}

TEST(Process, ThousandsOfArguments) {
  std::vector<std::string> arguments(5000, "--prompt");
  arguments.insert(arguments.begin() + 2500, {"--shortcut", "FN+space"});
  HelperProcess helper(helperWith(arguments));
  expectStartupLines(helper, "Fn+Space");
}

TEST(Process, BytesThatAreNotUtf8InEveryPosition) {
  const std::string bad = "\xFF\xC3(\xED\xA0\x80";
  const std::string replaced = "\uFFFD\uFFFD(\uFFFD\uFFFD\uFFFD";
  {
    HelperProcess helper(helperWith({"--shortcut", "fn", bad}), {.argumentZero = bad});
    expectStartupLines(helper, "Fn");
  }
  {
    HelperProcess helper(helperWith({bad, "fn"}));
    EXPECT_EQ(json::parse(helper.readLine().value_or("null"))["message"],
              "Missing --shortcut argument.");
  }
  HelperProcess helper(helperWith({"--shortcut", "fn+" + bad}));
  EXPECT_EQ(json::parse(helper.readLine().value_or("null"))["message"],
            "Unsupported native shortcut: fn+" + replaced + unsupportedEnd);
  EXPECT_EQ(helper.standardError(), "");
}

}  // namespace
}  // namespace qen::testing
