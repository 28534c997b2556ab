// A test fixture that runs the built helper with virtual keyboards as its
// /dev/input, and skips (with the reason) where they cannot run.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string_view>

#include "support/helper_process.h"
#include "support/virtual_keyboards.h"
#include "support/x_server.h"

namespace qen::testing {

using nlohmann::json;

struct StartOptions {
  bool noInputDirectory = false;
  bool withoutReadOverride = false;
  bool reportRelease = false;
  // A view of a literal: a std::string here trips GCC 12's maybe-uninitialized
  // in the tables of test cases, at -O3.
  std::string_view fnKey;  // --fn-key's value, when not empty
};

class EndToEnd : public ::testing::Test {
 public:
  static json toggleEvent(const std::string& shortcut) {
    bool fn = shortcut == "Fn";
    return {{"type", "toggle"}, {"shortcut", shortcut}, {"source", fn ? "fn" : "fn+space"}};
  }

 protected:
  void SetUp() override {
    if (auto reason = VirtualKeyboards::unavailableReason()) {
      GTEST_SKIP() << *reason;
    }
    keyboards = std::make_unique<VirtualKeyboards>();
  }

  void TearDown() override {
    if (helper) {
      EXPECT_EQ(helper->standardError(), "");
    }
  }

  void command(const std::string& line) { ASSERT_EQ(keyboards->send(line), "ok") << line; }

  // Starts the helper and reads its start-up lines; returns "accessibilityTrusted".
  bool start(const std::string& shortcut, StartOptions options = {}, SpawnOptions spawn = {}) {
    std::vector<std::string> command{helperPath(), "--shortcut", shortcut};
    if (options.reportRelease) command.push_back("--report-release");
    if (!options.fnKey.empty())
      command.insert(command.end(), {"--fn-key", std::string(options.fnKey)});
    helper = std::make_unique<HelperProcess>(
        keyboards->runWithInput(command, options.noInputDirectory, options.withoutReadOverride),
        spawn);
    auto ready = json::parse(helper->readLine().value_or("null"));
    EXPECT_EQ(ready["type"], "ready");
    EXPECT_EQ(ready.value("fnKey", ""), options.fnKey);
    bool trusted = ready["accessibilityTrusted"] == true;
    if (!trusted) {
      auto permission = json::parse(helper->readLine().value_or("null"));
      EXPECT_EQ(permission["type"], "permission");
    }
    EXPECT_TRUE(waitUntilIdle(helper->pid()));
    return trusted;
  }

  // Applies one vkbd command line at once, then waits until the helper has
  // handled all of it.
  void step(const std::string& line) {
    command(line);
    std::istringstream commands(line);
    for (std::string one; std::getline(commands, one, ';');) {
      std::istringstream words(one);
      std::string verb, name;
      words >> verb >> name;
      if (verb == "add" || verb == "chmod") {
        command("wait " + name + " open");
      } else if (verb == "remove") {
        command("wait " + name + " closed");
      } else {
        command("wait " + name);
      }
    }
    ASSERT_TRUE(waitUntilIdle(helper->pid()));
  }

  // The lines written so far and not yet read.
  std::vector<json> events() {
    std::vector<json> written;
    while (auto line = helper->readLine(std::chrono::milliseconds(20))) {
      written.push_back(json::parse(*line));
    }
    return written;
  }

  // The number of toggle lines written so far and not yet read; any other
  // line fails the test.
  int toggles(const std::string& shortcut) {
    auto written = events();
    for (const auto& event : written) EXPECT_EQ(event, toggleEvent(shortcut));
    return static_cast<int>(written.size());
  }

  std::unique_ptr<VirtualKeyboards> keyboards;
  std::unique_ptr<HelperProcess> helper;
};

// The same with an X server of the test's own, whose keys xkeys sends by
// exact keycode; the helper finds it through DISPLAY.
class X11EndToEnd : public EndToEnd {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    if (IsSkipped()) return;
    if (auto reason = XServer::unavailableReason()) GTEST_SKIP() << *reason;
  }

  XServer& server(XServerOptions options = {}) {
    if (!x11) x11 = std::make_unique<XServer>(options);
    return *x11;
  }

  // The helper with DISPLAY naming the server, or as environment says;
  // without /dev/input unless options say otherwise.
  bool startThroughX(const std::string& shortcut, StartOptions options = {},
                     std::optional<std::vector<std::string>> environment = std::nullopt) {
    SpawnOptions spawn;
    spawn.environment = environment.value_or(std::vector{"DISPLAY=" + server().display()});
    return start(shortcut, options, spawn);
  }

  // A vkbd-style line (press NAME KEY; release NAME KEY) sent through XTEST
  // instead, then waits until the helper has handled it. Raw events never
  // repeat, and X knows no nodes: repeat and add lines send nothing. Other
  // commands (grab, ungrab) go to xkeys as they are.
  void xstep(const std::string& line) {
    std::string keys;
    std::istringstream commands(line);
    for (std::string one; std::getline(commands, one, ';');) {
      std::istringstream words(one);
      std::string verb, name, key;
      words >> verb >> name >> key;
      if (verb == "repeat" || verb == "add") continue;
      if (verb == "press" || verb == "release") {
        auto keycode = x11Keycode(key);
        ASSERT_TRUE(keycode) << "no X keycode for " << key;
        one = verb + " " + std::to_string(*keycode);
      }
      keys += (keys.empty() ? "" : ";") + one;
    }
    if (!keys.empty()) {
      ASSERT_EQ(server().send(keys), "ok") << line;
    }
    if (helper) {
      ASSERT_TRUE(waitUntilIdle(helper->pid()));
    }
  }

  std::unique_ptr<XServer> x11;
};

}  // namespace qen::testing
