#include "platform/posix/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace qen::platform {
namespace posix {
namespace {

void waitUntilWritable(int fd) {
  pollfd writable{fd, POLLOUT, 0};
  while (poll(&writable, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace

int signalNumber(Signal signal) { return signal == Signal::terminate ? SIGTERM : SIGINT; }

void prepareStandardOutput() {
  if (fcntl(standardOutput, F_GETFD) < 0 && errno == EBADF) exitProcess(0);
  ::signal(SIGPIPE, SIG_IGN);
}

std::optional<pid_t> hostProcess() {
  pid_t parent = getppid();
  if (parent <= 1) return std::nullopt;
  return parent;
}

bool isStillParent(pid_t host) { return getppid() == host; }

// A write that takes nothing and reports no error would repeat for ever: it
// counts as failed.
bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
    } else if (written < 0 && errno == EAGAIN) {
      waitUntilWritable(fd);
    } else if (written == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace posix

// The kernel hands over bytes; the core makes them text.
std::optional<std::vector<std::string>> argumentText() { return std::nullopt; }

// _exit, not exit: the main thread may be inside a handler, and exit() would
// destroy what it uses. Nothing is lost, as no output is ever buffered.
void exitProcess(int status) { _exit(status); }

}  // namespace qen::platform
