#include "app/signal_shutdown.h"

#include "platform/platform.h"

namespace qen {

void installSignalHandlers(std::function<void()> stop) {
  using platform::Signal;
  platform::ignoreSignal(Signal::terminate);
  platform::ignoreSignal(Signal::interrupt);
  platform::watchSignals(signalQueueLabel, {Signal::terminate, Signal::interrupt}, [stop] {
    stop();
    platform::exitProcess(0);
  });
}

}  // namespace qen
