// What the helper needs of the desktop it runs on. The core calls only these
// functions; each backend under src/platform/<name>/ defines them, and the
// tests link a fake in their place.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace qen::platform {

// Modifier bits in the desktop's own layout (function key: 0x800000).
using ModifierFlags = std::uint64_t;

using EventMask = std::uint64_t;
inline constexpr EventMask keyDownMask = 1ULL << 10;
inline constexpr EventMask flagsChangedMask = 1ULL << 12;

// One keyboard event as the desktop reports it.
struct DesktopEvent {
  EventMask type = flagsChangedMask;
  ModifierFlags modifierFlags = 0;
  std::uint16_t keyCode = 0;  // read for key-down events only
  std::optional<std::string> charactersIgnoringModifiers;
};

// Opaque token for a registered monitor.
struct MonitorHandle {
  std::uint64_t id = 0;
  friend bool operator==(MonitorHandle, MonitorHandle) = default;
};

// Global monitors see events meant for other applications; local monitors see
// the events sent to this process and return the event to dispatch (nullptr
// discards it).
using GlobalHandler = std::function<void(const DesktopEvent&)>;
using LocalHandler = std::function<const DesktopEvent*(const DesktopEvent&)>;

// Main thread only. Handlers are called on the main thread, from inside
// runMainLoop(), one at a time.
std::optional<MonitorHandle> addGlobalMonitor(EventMask mask, GlobalHandler handler);
std::optional<MonitorHandle> addLocalMonitor(EventMask mask, LocalHandler handler);

// Safe from any thread, also while the main thread is inside a handler; that
// handler may finish, but no handler of this monitor starts afterwards.
void removeMonitor(MonitorHandle handle);

// Whether this process may observe keyboard input meant for other
// applications. With prompt set, the desktop may also ask the user for it;
// the call never waits for an answer.
struct TrustQueryOptions {
  bool prompt = false;
};
bool isProcessTrusted(const TrustQueryOptions& options);

// No window, no dock icon, no menu bar.
void becomeAccessoryApplication();

// Runs the main thread's event loop; returns only when the loop has nothing
// left to serve the helper for.
void runMainLoop();

enum class Signal { terminate, interrupt };

// From now on the signal no longer ends the process by its default action.
void ignoreSignal(Signal signal);

// Runs handler on a thread of its own, never the main thread, once for each
// arrival of one of the signals (arrivals while a run is pending may merge).
void watchSignals(std::string_view queueLabel, std::initializer_list<Signal> signals,
                  std::function<void()> handler);

[[noreturn]] void exitProcess(int status);

// Hands all bytes to standard output before returning, unbuffered, as one
// write request wherever the descriptor allows it.
void writeStandardOutput(std::string_view bytes);

}  // namespace qen::platform
