#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "shortcut/shortcut.h"

namespace qen {

using ModifierFlags = platform::ModifierFlags;
using MonitorHandle = platform::MonitorHandle;

using platform::functionKeyFlag;
using platform::spaceKeyCode;

// One keyboard event as the hotkey detection sees it.
struct KeyEvent {
  ModifierFlags modifierFlags = 0;
  std::uint16_t keyCode = 0;
  std::optional<std::string> charactersIgnoringModifiers;
};

struct MonitorOptions {
  // Also write a "release" line when the shortcut that toggled is let go.
  bool reportRelease = false;
};

// Watches the keyboard for the configured Fn shortcut and writes one "toggle"
// line each time it is performed. Shared ownership: the event handlers hold
// only weak references, so the monitor never keeps itself alive.
//
// State, (false, false) until the first event:
// - functionPressed: Fn was down at the last flags-changed event;
// - spaceTriggeredDuringCurrentPress: a "fn+space" toggle was written during
//   this press of Fn; never true in fnOnly mode; set only by a key-down,
//   cleared only by a flags-changed event without Fn.
// With reportRelease only:
// - toggleAwaitingRelease: the last toggle's "release" line is still due; set
//   only by a toggle, cleared only by writing that line, so every toggle gets
//   exactly one release and no release comes without a toggle;
// - chordDuringPress: another key went down since that toggle (any key-down
//   but Space in fnSpace mode, or a modifier bit that a flags-changed event
//   adds); only ever true while toggleAwaitingRelease is;
// - previousFlags: the modifiers of the last flags-changed event, to tell
//   which of them went down.
class HotkeyMonitor {
  struct ConstructionToken {};

 public:
  static std::shared_ptr<HotkeyMonitor> create(ShortcutConfig shortcut,
                                               MonitorOptions options = {});
  HotkeyMonitor(ConstructionToken, ShortcutConfig shortcut, MonitorOptions options);

  // Main thread, once, before the main loop runs.
  void start();
  // Any thread; only reads the handles and asks the desktop to remove them.
  void stop();

 private:
  using EventHandling = void (HotkeyMonitor::*)(const KeyEvent&);

  template <typename Handler>
  static Handler handlerFor(std::weak_ptr<HotkeyMonitor> monitor, EventHandling handle);
  // A global and a local monitor for mask, both handing events to handle.
  void addMonitorPair(platform::EventMask mask, EventHandling handle,
                      std::optional<MonitorHandle>& global, std::optional<MonitorHandle>& local);

  void handleFlagsChanged(const KeyEvent& event);
  void handleKeyDown(const KeyEvent& event);
  void handleKeyUp(const KeyEvent& event);
  void emitToggle(std::string_view source);
  void emitReleaseIfDue();
  bool isShortcutKey(const KeyEvent& event) const;
  bool addsModifier(ModifierFlags flags) const;
  std::string_view source() const;

  ShortcutConfig shortcut;
  std::optional<MonitorHandle> globalFlagsMonitor;
  std::optional<MonitorHandle> localFlagsMonitor;
  std::optional<MonitorHandle> globalKeyMonitor;
  std::optional<MonitorHandle> localKeyMonitor;
  bool functionPressed = false;
  bool spaceTriggeredDuringCurrentPress = false;
  bool reportRelease;
  std::optional<MonitorHandle> globalKeyUpMonitor;
  std::optional<MonitorHandle> localKeyUpMonitor;
  bool toggleAwaitingRelease = false;
  bool chordDuringPress = false;
  ModifierFlags previousFlags = 0;
  // What std::enable_shared_from_this would hold, without the base class.
  std::weak_ptr<HotkeyMonitor> self;
};

}  // namespace qen
