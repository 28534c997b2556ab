// SIGTERM and SIGINT on macOS: Dispatch signal sources on one serial queue.
#include <dispatch/dispatch.h>
#include <signal.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/process.h"

namespace qen::platform {
namespace {

// Held for the life of the process: the sources are never cancelled.
std::vector<dispatch_source_t>& signalSources() {
  static auto* sources = new std::vector<dispatch_source_t>();
  return *sources;
}

}  // namespace

// A Dispatch signal source still sees a signal whose disposition is ignore.
void ignoreSignal(Signal signal) { ::signal(posix::signalNumber(signal), SIG_IGN); }

void watchSignals(std::string_view queueLabel, std::initializer_list<Signal> signals,
                  std::function<void()> handler) {
  std::string label(queueLabel);
  dispatch_queue_t queue = dispatch_queue_create(label.c_str(), DISPATCH_QUEUE_SERIAL);
  for (auto signal : signals) {
    dispatch_source_t source = dispatch_source_create(
        DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(posix::signalNumber(signal)), 0, queue);
    dispatch_source_set_event_handler(source, ^{
      handler();
    });
    dispatch_resume(source);
    signalSources().push_back(source);
  }
}

}  // namespace qen::platform
