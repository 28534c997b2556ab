// A running vkbd: virtual keyboards on a FUSE mount, driven over its socket,
// and a way to run the helper with that mount as its /dev/input.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace qen::testing {

class VirtualKeyboards {
 public:
  // Why virtual keyboards cannot run here, or nothing when they can.
  static std::optional<std::string> unavailableReason();

  VirtualKeyboards();
  ~VirtualKeyboards();
  VirtualKeyboards(const VirtualKeyboards&) = delete;
  VirtualKeyboards& operator=(const VirtualKeyboards&) = delete;

  // Sends one command line; returns vkbd's answer ("ok" or "error: ...").
  std::string send(const std::string& line);
  const std::string& mountDirectory() const { return mountDirectory_; }

  // argv that runs `program` with the mount (or no /dev/input) as /dev/input,
  // optionally without the capabilities that let root read any file.
  std::vector<std::string> runWithInput(std::vector<std::string> program,
                                        bool noInputDirectory = false,
                                        bool withoutReadOverride = false) const;

 private:
  std::string workDirectory_;
  std::string mountDirectory_;
  std::string socketPath_;
  pid_t pid_ = -1;
  int connection_ = -1;
};

// Waits until the process's main thread sleeps in epoll_wait: it has handled
// everything it was woken for. Returns false after five seconds.
bool waitUntilIdle(pid_t pid);

}  // namespace qen::testing
