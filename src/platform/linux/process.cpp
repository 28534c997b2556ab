// Signals, exit and standard output on Linux.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace qen::platform {
namespace {

int signalNumber(Signal signal) { return signal == Signal::terminate ? SIGTERM : SIGINT; }

void waitUntilWritable(int fd) {
  pollfd writable{fd, POLLOUT, 0};
  while (poll(&writable, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace

void ignoreSignal(Signal signal) {
  // Blocked first, in the main thread, so that every thread started later
  // inherits the mask and the signal stays pending for the watcher thread
  // (Linux discards an ignored signal unless it is blocked).
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signalNumber(signal));
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(signalNumber(signal), SIG_IGN);
}

void watchSignals(std::string_view queueLabel, std::initializer_list<Signal> signals,
                  std::function<void()> handler) {
  sigset_t set;
  sigemptyset(&set);
  for (auto signal : signals) sigaddset(&set, signalNumber(signal));
  std::string threadName(queueLabel.substr(0, 15));  // the kernel keeps 15 bytes
  std::thread([set, threadName, handler = std::move(handler)] {
    pthread_setname_np(pthread_self(), threadName.c_str());
    for (;;) {
      if (sigwaitinfo(&set, nullptr) > 0) handler();
    }
  }).detach();
}

// _exit, not exit: the main thread may be inside a handler, and exit() would
// destroy what it uses. Nothing is lost, as no output is ever buffered.
void exitProcess(int status) { _exit(status); }

void writeStandardOutput(std::string_view bytes) {
  constexpr int standardOutput = 1;
  // A host that closed its end gets status 0 from the main loop, which sees
  // the hang-up; the write just fails with EPIPE instead of killing us.
  static const bool brokenPipeIgnored = (::signal(SIGPIPE, SIG_IGN), true);
  (void)brokenPipeIgnored;
  while (!bytes.empty()) {
    ssize_t written = write(standardOutput, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
    } else if (written < 0 && errno == EAGAIN) {
      waitUntilWritable(standardOutput);  // a host-made non-blocking pipe is full
    } else if (written < 0 && errno != EINTR) {
      return;
    }
  }
}

}  // namespace qen::platform
