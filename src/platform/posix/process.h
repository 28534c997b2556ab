// What the Linux and macOS backends share: both are POSIX systems.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>

#include "platform/platform.h"

namespace qen::platform::posix {

int signalNumber(Signal signal);

// First thing in prepareProcess(), before anything is opened. A standard
// output that is not open ends the process at once with status 0: the first
// descriptor the helper opens would take its number and receive the event
// lines. Otherwise a write to a pipe whose reader is gone fails with EPIPE
// instead of ending the process by SIGPIPE.
void prepareStandardOutput();

// The host that started us, or nothing when we already belong to init (or
// launchd): it died before we looked, or we were never anyone's child.
std::optional<pid_t> hostProcess();

// Whether the host is still our parent; checked once more after a watch on
// it is set, as it may have died in between.
bool isStillParent(pid_t host);

// Hands every byte to fd: loops on short writes and EINTR, and waits with
// poll() while a host-made non-blocking pipe is full. False when a write
// failed for good (the reader is gone, the descriptor is closed or not
// writable, an I/O error, a full disk): the backends then end the main loop.
bool writeAll(int fd, std::string_view bytes);

inline constexpr int standardOutput = 1;

}  // namespace qen::platform::posix
