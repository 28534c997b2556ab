// Signals on Linux.
#include "platform/posix/process.h"

#include <pthread.h>
#include <signal.h>

#include <string>
#include <thread>

#include "platform/platform.h"

namespace qen::platform {

using posix::signalNumber;

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

}  // namespace qen::platform
