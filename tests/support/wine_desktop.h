// A test fixture that runs the Windows helper under Wine (tests/windows/
// wine.sh), started by a Windows parent (winkeys --run) that passes its exit
// code on, with keys sent by winkeys through SendInput; it skips (with the
// reason) where Wine or the Windows build is missing.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "support/helper_process.h"

namespace qen::testing {

using nlohmann::json;

// The Windows build's programs: QEN_TEST_WINDOWS_HELPER (then required) or
// build-binaries/win32-x64/qen-hotkey-helper.exe, and winkeys beside the x64
// build tree's tools.
std::string windowsHelperPath();
std::string winkeysPath();

// Why the helper cannot run under Wine here, or nothing when it can.
std::optional<std::string> wineUnavailableReason();

// argv that runs a Windows program under the harness.
std::vector<std::string> underWine(std::vector<std::string> program);

struct WineStart {
  bool reportRelease = false;
  std::string_view fnKey;  // --fn-key's value, when not empty
  bool inputPipe = false;  // standard input from a pipe, as Electron and Tauri give it
};

class WineEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the helper and reads "ready"; returns it.
  json start(const std::string& shortcut, WineStart options = {});
  // Runs the helper with these arguments after its path, through the parent.
  void launch(const std::vector<std::string>& arguments, bool inputPipe = false,
              bool escapes = false);

  // One winkeys line (commands joined with ';' go in one SendInput call).
  void keys(const std::string& line);

  // The count lines written for the keys sent so far: presses the key in Fn's part
  // (and Space, for fn+space) once more and reads up to that toggle, which
  // the helper writes after every earlier line, as it handles keys in order.
  std::vector<json> linesSoFar(std::size_t count);

  // The Linux process of the helper itself (not its parent), found by the
  // marker in its command line.
  pid_t helperPid();

  std::unique_ptr<HelperProcess> helper;  // its Windows parent, which shares its streams
  std::string shortcut_;
  WineStart options_;
  std::string marker_;
  std::unique_ptr<HelperProcess> winkeys_;
};

}  // namespace qen::testing
