#pragma once

#include <functional>

namespace qen {

inline constexpr const char* signalQueueLabel = "qen.hotkey-helper.signals";

// From now on SIGTERM and SIGINT run stop on a thread of their own and then end
// the process with status 0. The watchers keep stop for the life of the process.
void installSignalHandlers(std::function<void()> stop);

}  // namespace qen
