// The helper under pressure: slow hosts, signals while toggles are being
// written, a storm of key events, and what it keeps open.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "support/end_to_end.h"

namespace qen::testing {
namespace {

#ifdef QEN_SANITIZED
constexpr bool helperIsSanitized = true;
#else
constexpr bool helperIsSanitized = false;
#endif

const std::string toggleCycle =
    "press event-kb fn; press event-kb space; release event-kb space; release event-kb fn";

const json fnSpaceToggle = {{"type", "toggle"}, {"shortcut", "Fn+Space"}, {"source", "fn+space"}};

long residentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Injects toggle cycles in a thread of its own, each batch read by the helper
// before the next, so that no event is lost to an overflowing queue.
class Injector {
 public:
  Injector(VirtualKeyboards& keyboards, std::string batch, int batches)
      : thread_([&keyboards, batch, batches, this] {
          for (int i = 0; i < batches && !stop_; ++i) {
            if (keyboards.send(batch) != "ok" || keyboards.send("wait event-kb") != "ok") {
              failed_ = true;
              return;
            }
            ++sent_;
          }
        }) {}
  ~Injector() {
    stop_ = true;
    thread_.join();
  }
  int sent() const { return sent_; }
  bool failed() const { return failed_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::atomic<int> sent_{0};
  std::thread thread_;
};

class Robustness : public EndToEnd {};

TEST_F(Robustness, SlowNonBlockingReaderLosesNothing) {
  command("add event-kb");
  ASSERT_TRUE(start("fn+space", {}, {.nonBlockingOutput = true}));
  std::string fiveCycles = toggleCycle;
  for (int i = 0; i < 4; ++i) fiveCycles += "; " + toggleCycle;
  Injector injector(*keyboards, fiveCycles, 2000);
  std::this_thread::sleep_for(1s);  // the host stops reading; the helper's writes wait
  int lines = 0;
  while (lines < 10000) {
    auto line = helper->readLine(15s);
    ASSERT_TRUE(line) << "after " << lines << " lines";
    ASSERT_EQ(json::parse(*line), fnSpaceToggle);
    ++lines;
  }
  EXPECT_FALSE(injector.failed());
  EXPECT_FALSE(helper->readLine(100ms));
}

TEST_F(Robustness, SignalsWhileTogglesAreWritten) {
  const std::vector<std::vector<int>> patterns = {
      {SIGTERM}, {SIGINT}, {SIGTERM, SIGTERM, SIGTERM}, {SIGINT, SIGTERM}, {SIGTERM, SIGINT}};
  std::mt19937 random(20261209);
  command("add event-kb");
  for (int run = 0; run < 200; ++run) {
    ASSERT_TRUE(start("fn+space"));
    Injector injector(*keyboards, toggleCycle, 1000000);
    ASSERT_TRUE(helper->readLine());  // the first toggle
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    for (int signal : patterns[run % patterns.size()]) helper->sendSignal(signal);
    auto status = helper->waitForExit();
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << "run " << run << ": " << (status ? "wait status " + std::to_string(*status) : "no exit")
        << ", standard error: " << helper->standardError();
    for (const auto& line : helper->readRemainingLines()) {
      ASSERT_EQ(json::parse(line), fnSpaceToggle) << "run " << run;
    }
    ASSERT_EQ(helper->pendingBytes(), "") << "a torn line in run " << run;
    ASSERT_EQ(helper->standardError(), "");
  }
}

TEST_F(Robustness, MillionKeyEventStorm) {
  command("add event-kb");
  ASSERT_TRUE(start("fn+space"));
  // 28 events of other keys and one Fn+Space (8 events) per batch.
  const std::string batch = "flood event-kb 7; " + toggleCycle;
  constexpr int warmUp = 200;
  constexpr int batches = 1000000 / 36;
  long before = 0;
  {
    Injector injector(*keyboards, batch, warmUp);
    for (int i = 0; i < warmUp; ++i) ASSERT_TRUE(helper->readLine());
    before = residentKilobytes(helper->pid());
  }
  Injector injector(*keyboards, batch, batches);
  for (int i = 0; i < batches; ++i) {
    auto line = helper->readLine(15s);
    ASSERT_TRUE(line) << "after " << i << " toggles";
    ASSERT_EQ(json::parse(*line), fnSpaceToggle);
  }
  ASSERT_TRUE(waitUntilIdle(helper->pid()));
  EXPECT_FALSE(helper->readLine(100ms));
  EXPECT_FALSE(injector.failed());
  // A sanitizer's quarantine and shadow memory grow by design.
  if (!helperIsSanitized) {
    EXPECT_EQ(residentKilobytes(helper->pid()), before);
  }
}

bool isAllowedDescriptor(const std::string& target) {
  return target.rfind("/dev/input/event-", 0) == 0 || target == "anon_inode:[eventpoll]" ||
         target == "anon_inode:inotify" || target == "anon_inode:[pidfd]";
}

// Counts the descriptors beyond the three streams whose targets start with
// each of prefixes; any other, or one that is not close-on-exec, fails.
std::vector<int> descriptorsOpen(pid_t pid, const std::vector<std::string>& prefixes) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  std::vector<int> counts(prefixes.size());
  for (const auto& entry : std::filesystem::directory_iterator(fds)) {
    int fd = std::stoi(entry.path().filename());
    if (fd <= 2) continue;
    auto target = std::filesystem::read_symlink(entry.path()).string();
    bool counted = false;
    for (std::size_t i = 0; i < prefixes.size(); ++i) {
      if (target.rfind(prefixes[i], 0) == 0) {
        ++counts[i];
        counted = true;
      }
    }
    EXPECT_TRUE(counted || isAllowedDescriptor(target)) << fd << " -> " << target;
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    std::string key, flags;
    while (info >> key >> flags && key != "flags:") {
    }
    EXPECT_TRUE(std::stoul(flags, nullptr, 8) & O_CLOEXEC) << target << " is not close-on-exec";
  }
  return counts;
}

TEST_F(Robustness, KeepsOpenOnlyItsStreamsKeyboardsAndOwnDescriptors) {
  command("add event-kb");
  command("add event-other nofn");
  command("add event-pointer mouse");
  ASSERT_TRUE(start("fn"));
  EXPECT_EQ(descriptorsOpen(helper->pid(), {"/dev/input/"}), std::vector{2});  // not the mouse
}

class X11Robustness : public X11EndToEnd {};

// One socket, the X server's, and nothing left of how it was reached.
TEST_F(X11Robustness, ThroughXKeepsOpenOnlyItsStreamsOneSocketAndOwnDescriptors) {
  ASSERT_TRUE(startThroughX("fn", {.noInputDirectory = true, .fnKey = "rightctrl"}));
  EXPECT_EQ(descriptorsOpen(helper->pid(), {"socket:"}), std::vector{1});
}

}  // namespace
}  // namespace qen::testing
