#include "support/helper_process.h"

#include <fcntl.h>
#ifdef __linux__
#include <linux/close_range.h>
#endif
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <thread>

extern char** environ;  // macOS declares it nowhere

namespace qen::testing {
namespace {

int remainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// pipe2() is Linux's; a Mac runs these tests too.
void makePipe(int ends[2]) {
  if (pipe(ends) != 0) throw std::runtime_error("pipe");
  for (int i = 0; i < 2; ++i) fcntl(ends[i], F_SETFD, FD_CLOEXEC);
}

// One call on Linux: a container's descriptor limit can be a million, and a
// close() for each would slow every spawn.
void closeFrom(int first) {
#ifdef __linux__
  close_range(static_cast<unsigned>(first), ~0U, 0);
#else
  for (int fd = first, last = static_cast<int>(sysconf(_SC_OPEN_MAX)); fd < last; ++fd) close(fd);
#endif
}

// What this process has, less what points at a desktop session, with what
// the options set; as execve() takes it.
std::vector<char*> environmentFor(const SpawnOptions& options) {
  std::vector<std::string_view> replaced = {"DISPLAY=", "XAUTHORITY=", "XDG_SESSION_TYPE="};
  for (std::string_view entry : options.environment) {
    replaced.push_back(entry.substr(0, entry.find('=') + 1));
  }
  std::vector<char*> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    if (std::none_of(replaced.begin(), replaced.end(),
                     [&](std::string_view name) { return text.starts_with(name); })) {
      environment.push_back(*entry);
    }
  }
  for (const auto& entry : options.environment) {
    environment.push_back(const_cast<char*>(entry.c_str()));
  }
  environment.push_back(nullptr);
  return environment;
}

}  // namespace

// QEN_TEST_HELPER (an absolute path) runs the same tests on another build of
// the helper, such as the glibc-2.17 binary that hosts ship.
std::string helperPath() {
  const char* other = std::getenv("QEN_TEST_HELPER");
  return other != nullptr && *other != '\0' ? other : QEN_HELPER_PATH;
}

HelperProcess::HelperProcess(const std::vector<std::string>& argv, SpawnOptions options) {
  int out[2], err[2], in[2] = {-1, -1};
  makePipe(out);
  makePipe(err);
  if (options.inputPipe) makePipe(in);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const char* path = args[0];
  if (options.argumentZero) args[0] = const_cast<char*>(options.argumentZero->c_str());
  auto environment = environmentFor(options);  // made before fork(): no malloc after it
  pid_ = fork();
  if (pid_ == 0) {
    int input = options.inputPipe ? in[0] : open("/dev/null", O_RDONLY);
    dup2(input, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (options.nonBlockingOutput) fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
    if (options.closedOutput) close(1);
    closeFrom(3);  // as hosts do: the helper inherits only its streams
    // The test runner may block or ignore signals; the helper must start as a
    // host would start it, with default dispositions.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    execve(path, args.data(), environment.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  stdoutFd_ = out[0];
  stderrFd_ = err[0];
  if (options.inputPipe) {
    close(in[0]);
    stdinFd_ = in[1];
  }
}

HelperProcess::~HelperProcess() {
  if (!status_) {
    kill(pid_, SIGKILL);
    waitForExit();
  }
  if (stdoutFd_ >= 0) close(stdoutFd_);
  close(stderrFd_);
  closeStandardInput();
}

bool HelperProcess::fill(std::chrono::steady_clock::time_point deadline) {
  if (stdoutClosed_) return false;
  pollfd readable{stdoutFd_, POLLIN, 0};
  if (poll(&readable, 1, remainingMs(deadline)) <= 0) return false;
  char chunk[65536];
  ssize_t length = read(stdoutFd_, chunk, sizeof chunk);
  if (length <= 0) {
    stdoutClosed_ = true;
    return false;
  }
  buffer_.append(chunk, static_cast<std::size_t>(length));
  return true;
}

std::optional<std::string> HelperProcess::readLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto end = buffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    if (!fill(deadline)) return std::nullopt;
  }
}

bool HelperProcess::readBytes(std::size_t count, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (buffer_.size() < count) {
    if (!fill(deadline)) return false;
  }
  buffer_.erase(0, count);
  return true;
}

std::vector<std::string> HelperProcess::readRemainingLines(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::string> lines;
  while (auto line = readLine(std::chrono::milliseconds(remainingMs(deadline)))) {
    lines.push_back(*line);
  }
  return lines;
}

void HelperProcess::sendSignal(int signal) { kill(pid_, signal); }

void HelperProcess::closeStandardOutput() {
  close(stdoutFd_);
  stdoutFd_ = -1;
  stdoutClosed_ = true;
}

bool HelperProcess::writeStandardInput(const std::string& text) {
  std::string_view left = text;
  while (!left.empty() && stdinFd_ >= 0) {
    ssize_t written = write(stdinFd_, left.data(), left.size());
    if (written <= 0) return false;
    left.remove_prefix(static_cast<std::size_t>(written));
  }
  return left.empty();
}

void HelperProcess::closeStandardInput() {
  if (stdinFd_ >= 0) close(stdinFd_);
  stdinFd_ = -1;
}

std::optional<int> HelperProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = status;
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(2ms);
  }
}

std::string HelperProcess::standardError() {
  std::string text;
  fcntl(stderrFd_, F_SETFL, O_NONBLOCK);
  char chunk[4096];
  for (ssize_t n; (n = read(stderrFd_, chunk, sizeof chunk)) > 0;) text.append(chunk, n);
  return text;
}

}  // namespace qen::testing
