// Runs a program as a host runs the helper: standard output and standard error
// on pipes, standard input from /dev/null (or a pipe); reads its lines with
// time limits.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qen::testing {

using namespace std::chrono_literals;

// The helper built here, or the one named by QEN_TEST_HELPER.
std::string helperPath();

struct SpawnOptions {
  bool nonBlockingOutput = false;           // the host made its pipe non-blocking
  bool closedOutput = false;                // the host gave it no standard output
  std::optional<std::string> argumentZero;  // else the path that is executed
  bool inputPipe = false;                   // standard input from a pipe we write to
  // NAME=value, on top of this process's environment less what points at a
  // desktop session (DISPLAY, XAUTHORITY, XDG_SESSION_TYPE), which a test
  // names where it wants one.
  std::vector<std::string> environment;
};

class HelperProcess {
 public:
  explicit HelperProcess(const std::vector<std::string>& argv, SpawnOptions options = {});
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The next complete line without its line feed, or nothing when none comes
  // in time or standard output closes.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = 5s);
  // The next count bytes, lines or not; false when they do not come in time.
  bool readBytes(std::size_t count, std::chrono::milliseconds timeout = 5s);
  // Every line until standard output closes.
  std::vector<std::string> readRemainingLines(std::chrono::milliseconds timeout = 5s);
  // Bytes received but not yet returned as a line (a torn line, if any).
  const std::string& pendingBytes() const { return buffer_; }

  void sendSignal(int signal);
  // The host stops reading for good.
  void closeStandardOutput();
  // With inputPipe: writes all of text; then closes our end, as a host that is done.
  bool writeStandardInput(const std::string& text);
  void closeStandardInput();
  // The wait status, or nothing when the process has not ended in time. The
  // default is generous: on a loaded machine the kernel can take seconds to
  // release an inotify watch on a FUSE mount after the helper's _exit (seen
  // under ThreadSanitizer beside the key storm), and only a failure waits it out.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = 30s);
  std::string standardError();

 private:
  bool fill(std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  int stdinFd_ = -1;
  bool stdoutClosed_ = false;
  std::optional<int> status_;
  std::string buffer_;
};

}  // namespace qen::testing
