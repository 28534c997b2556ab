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

// Watches the keyboard for the configured Fn shortcut and writes one "toggle"
// line each time it is performed. Shared ownership: the event handlers hold
// only weak references, so the monitor never keeps itself alive.
class HotkeyMonitor {
  struct ConstructionToken {};

 public:
  static std::shared_ptr<HotkeyMonitor> create(ShortcutConfig shortcut);
  HotkeyMonitor(ConstructionToken, ShortcutConfig shortcut);

  // Main thread, once, before the main loop runs.
  void start();
  // Any thread; only reads the handles and asks the desktop to remove them.
  void stop();

 private:
  template <typename Handle>
  static Handle handlerFor(std::weak_ptr<HotkeyMonitor> monitor,
                           void (HotkeyMonitor::*handle)(const KeyEvent&));

  void handleFlagsChanged(const KeyEvent& event);
  void handleKeyDown(const KeyEvent& event);
  void emitToggle(std::string_view source);

  ShortcutConfig shortcut;
  std::optional<MonitorHandle> globalFlagsMonitor;
  std::optional<MonitorHandle> localFlagsMonitor;
  std::optional<MonitorHandle> globalKeyMonitor;
  std::optional<MonitorHandle> localKeyMonitor;
  bool functionPressed = false;
  bool spaceTriggeredDuringCurrentPress = false;
  // What std::enable_shared_from_this would hold, without the base class.
  std::weak_ptr<HotkeyMonitor> self;
};

}  // namespace qen
