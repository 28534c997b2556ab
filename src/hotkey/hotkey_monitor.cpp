#include "hotkey/hotkey_monitor.h"

#include "output/event_line.h"

namespace qen {
namespace {

KeyEvent toKeyEvent(const platform::DesktopEvent& event) {
  return {event.modifierFlags, event.keyCode, event.charactersIgnoringModifiers};
}

bool hasFunctionFlag(ModifierFlags flags) { return (flags & functionKeyFlag) != 0; }

bool isSpace(const KeyEvent& event) {
  return event.keyCode == spaceKeyCode || event.charactersIgnoringModifiers == " ";
}

}  // namespace

std::shared_ptr<HotkeyMonitor> HotkeyMonitor::create(ShortcutConfig shortcut,
                                                     MonitorOptions options) {
  auto monitor = std::make_shared<HotkeyMonitor>(ConstructionToken{}, std::move(shortcut), options);
  monitor->self = monitor;
  return monitor;
}

HotkeyMonitor::HotkeyMonitor(ConstructionToken, ShortcutConfig shortcut, MonitorOptions options)
    : shortcut(std::move(shortcut)), reportRelease(options.reportRelease) {}

template <>
platform::GlobalHandler HotkeyMonitor::handlerFor(std::weak_ptr<HotkeyMonitor> monitor,
                                                  EventHandling handle) {
  return [monitor, handle](const platform::DesktopEvent& event) {
    if (auto strong = monitor.lock()) ((*strong).*handle)(toKeyEvent(event));
  };
}

template <>
platform::LocalHandler HotkeyMonitor::handlerFor(std::weak_ptr<HotkeyMonitor> monitor,
                                                 EventHandling handle) {
  return [monitor, handle](const platform::DesktopEvent& event) {
    if (auto strong = monitor.lock()) ((*strong).*handle)(toKeyEvent(event));
    return &event;
  };
}

void HotkeyMonitor::addMonitorPair(platform::EventMask mask, EventHandling handle,
                                   std::optional<MonitorHandle>& global,
                                   std::optional<MonitorHandle>& local) {
  global = platform::addGlobalMonitor(mask, handlerFor<platform::GlobalHandler>(self, handle));
  local = platform::addLocalMonitor(mask, handlerFor<platform::LocalHandler>(self, handle));
}

void HotkeyMonitor::start() {
  addMonitorPair(platform::flagsChangedMask, &HotkeyMonitor::handleFlagsChanged, globalFlagsMonitor,
                 localFlagsMonitor);
  bool fnSpace = shortcut.mode == Mode::fnSpace;
  // Key-downs make the fn+space toggle, and tell a chord from a clean hold.
  if (fnSpace || reportRelease) {
    addMonitorPair(platform::keyDownMask, &HotkeyMonitor::handleKeyDown, globalKeyMonitor,
                   localKeyMonitor);
  }
  if (fnSpace && reportRelease) {
    addMonitorPair(platform::keyUpMask, &HotkeyMonitor::handleKeyUp, globalKeyUpMonitor,
                   localKeyUpMonitor);
  }
}

void HotkeyMonitor::stop() {
  for (const auto* handle : {&globalFlagsMonitor, &localFlagsMonitor, &globalKeyMonitor,
                             &localKeyMonitor, &globalKeyUpMonitor, &localKeyUpMonitor}) {
    if (*handle) platform::removeMonitor(**handle);
  }
}

void HotkeyMonitor::handleFlagsChanged(const KeyEvent& event) {
  bool fnDown = hasFunctionFlag(event.modifierFlags);
  bool toggles = shortcut.mode == Mode::fnOnly && fnDown && !functionPressed;
  if (toggles) {
    emitToggle("fn");
  } else if (toggleAwaitingRelease && addsModifier(event.modifierFlags)) {
    chordDuringPress = true;
  }
  if (!fnDown) {
    spaceTriggeredDuringCurrentPress = false;
    emitReleaseIfDue();
  }
  functionPressed = fnDown;
  previousFlags = event.modifierFlags;
}

void HotkeyMonitor::handleKeyDown(const KeyEvent& event) {
  if (toggleAwaitingRelease && !isShortcutKey(event)) chordDuringPress = true;
  if (shortcut.mode != Mode::fnSpace) return;
  if (!functionPressed && !hasFunctionFlag(event.modifierFlags)) return;
  if (!isSpace(event)) return;
  if (spaceTriggeredDuringCurrentPress) return;
  spaceTriggeredDuringCurrentPress = true;
  emitToggle("fn+space");
}

// Registered in fnSpace mode only: letting go of Space ends the shortcut.
void HotkeyMonitor::handleKeyUp(const KeyEvent& event) {
  if (isSpace(event)) emitReleaseIfDue();
}

void HotkeyMonitor::emitToggle(std::string_view source) {
  emit({{"type", std::string("toggle")},
        {"shortcut", shortcut.rawValue},
        {"source", std::string(source)}});
  toggleAwaitingRelease = reportRelease;
  chordDuringPress = false;
}

void HotkeyMonitor::emitReleaseIfDue() {
  if (!toggleAwaitingRelease) return;
  toggleAwaitingRelease = false;
  emit({{"type", std::string("release")},
        {"shortcut", shortcut.rawValue},
        {"source", std::string(source())},
        {"chord", chordDuringPress}});
  chordDuringPress = false;
}

bool HotkeyMonitor::isShortcutKey(const KeyEvent& event) const {
  return shortcut.mode == Mode::fnSpace && isSpace(event);
}

bool HotkeyMonitor::addsModifier(ModifierFlags flags) const {
  constexpr ModifierFlags chordModifiers = platform::capsLockKeyFlag | platform::shiftKeyFlag |
                                           platform::controlKeyFlag | platform::optionKeyFlag |
                                           platform::commandKeyFlag;
  return (flags & ~previousFlags & chordModifiers) != 0;
}

std::string_view HotkeyMonitor::source() const {
  return shortcut.mode == Mode::fnOnly ? "fn" : "fn+space";
}

}  // namespace qen
