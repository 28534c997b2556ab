#include "support/wine_desktop.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace qen::testing {
namespace {

std::string fromEnvironment(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

bool exists(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

// Wine sees the machine's files on drive Z:.
std::string windowsPath(const std::string& path) {
  std::string converted = "Z:" + path;
  for (auto& c : converted) {
    if (c == '/') c = '\\';
  }
  return converted;
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace

std::string windowsHelperPath() {
  return fromEnvironment("QEN_TEST_WINDOWS_HELPER",
                         QEN_SOURCE_DIR "/build-binaries/win32-x64/qen-hotkey-helper.exe");
}

std::string winkeysPath() {
  return fromEnvironment("QEN_WINKEYS",
                         QEN_SOURCE_DIR "/build-windows/x64/tools/winkeys/winkeys.exe");
}

std::optional<std::string> wineUnavailableReason() {
  if (!exists("/usr/lib/wine/wine64")) return "no Wine (/usr/lib/wine/wine64)";
  bool required = std::getenv("QEN_TEST_WINDOWS_HELPER") != nullptr;
  for (const auto& path : {windowsHelperPath(), winkeysPath()}) {
    if (exists(path)) continue;
    if (required) return std::nullopt;  // and the test fails on it
    return "no Windows build at " + path + ": run scripts/build-windows.sh x64";
  }
  return std::nullopt;
}

std::vector<std::string> underWine(std::vector<std::string> program) {
  program.insert(program.begin(), QEN_SOURCE_DIR "/tests/windows/wine.sh");
  return program;
}

void WineEndToEnd::SetUp() {
  if (auto reason = wineUnavailableReason()) GTEST_SKIP() << *reason;
  ::signal(SIGPIPE, SIG_IGN);
  static int instances = 0;
  marker_ = "--qen-test-" + std::to_string(getpid()) + "-" + std::to_string(++instances);
  winkeys_ =
      std::make_unique<HelperProcess>(underWine({winkeysPath()}), SpawnOptions{.inputPipe = true});
}

void WineEndToEnd::TearDown() {
  if (helper) {
    EXPECT_EQ(helper->standardError(), "");
  }
  if (winkeys_) {
    EXPECT_EQ(winkeys_->standardError(), "");
  }
}

void WineEndToEnd::launch(const std::vector<std::string>& arguments, bool inputPipe, bool escapes) {
  std::vector<std::string> command{winkeysPath(), "--run"};
  if (escapes) command.push_back("--escapes");
  command.push_back(windowsPath(windowsHelperPath()));
  command.insert(command.end(), arguments.begin(), arguments.end());
  command.push_back(marker_);  // ignored by the helper, as every other argument
  helper =
      std::make_unique<HelperProcess>(underWine(command), SpawnOptions{.inputPipe = inputPipe});
}

json WineEndToEnd::start(const std::string& shortcut, WineStart options) {
  shortcut_ = shortcut;
  options_ = options;
  std::vector<std::string> arguments{"--shortcut", shortcut};
  if (options.reportRelease) arguments.push_back("--report-release");
  if (!options.fnKey.empty())
    arguments.insert(arguments.end(), {"--fn-key", std::string(options.fnKey)});
  launch(arguments, options.inputPipe);
  auto ready = json::parse(helper->readLine(std::chrono::seconds(30)).value_or("null"));
  EXPECT_EQ(ready["type"], "ready");
  return ready;
}

void WineEndToEnd::keys(const std::string& line) {
  ASSERT_TRUE(winkeys_->writeStandardInput(line + "\n"));
  EXPECT_EQ(winkeys_->readLine(std::chrono::seconds(10)).value_or("no answer"), "ok") << line;
}

std::vector<json> WineEndToEnd::linesSoFar(std::size_t count) {
  std::string key(options_.fnKey);
  bool withSpace = shortcut_.find("space") != std::string::npos;
  keys(withSpace ? "press " + key + ";press space;release space;release " + key
                 : "press " + key + ";release " + key);
  json toggle = {{"type", "toggle"},
                 {"shortcut", withSpace ? "Fn+Space" : "Fn"},
                 {"source", withSpace ? "fn+space" : "fn"}};
  std::vector<json> sentinel{toggle};
  if (options_.reportRelease) {
    auto release = toggle;
    release["type"] = "release";
    release["chord"] = false;
    sentinel.push_back(release);
  }
  std::vector<json> lines;
  while (lines.size() < count + sentinel.size()) {
    auto line = helper->readLine(std::chrono::seconds(10));
    if (!line) break;
    lines.push_back(json::parse(*line));
  }
  std::vector<json> tail;
  if (lines.size() >= sentinel.size()) {
    tail.assign(lines.end() - static_cast<std::ptrdiff_t>(sentinel.size()), lines.end());
    lines.resize(lines.size() - sentinel.size());
  }
  EXPECT_EQ(tail, sentinel) << "the lines of the last press, which follow all others";
  return lines;
}

pid_t WineEndToEnd::helperPid() {
  DIR* proc = opendir("/proc");
  pid_t found = -1;
  while (dirent* entry = readdir(proc)) {
    pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    auto commandLine = readFile("/proc/" + std::string(entry->d_name) + "/cmdline");
    if (commandLine.find(marker_) != std::string::npos &&
        commandLine.find("winkeys") == std::string::npos) {
      found = pid;
    }
  }
  closedir(proc);
  return found;
}

}  // namespace qen::testing
