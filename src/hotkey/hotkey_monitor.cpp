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

std::shared_ptr<HotkeyMonitor> HotkeyMonitor::create(ShortcutConfig shortcut) {
  auto monitor = std::make_shared<HotkeyMonitor>(ConstructionToken{}, std::move(shortcut));
  monitor->self = monitor;
  return monitor;
}

HotkeyMonitor::HotkeyMonitor(ConstructionToken, ShortcutConfig shortcut)
    : shortcut(std::move(shortcut)) {}

template <>
platform::GlobalHandler HotkeyMonitor::handlerFor(std::weak_ptr<HotkeyMonitor> monitor,
                                                  void (HotkeyMonitor::*handle)(const KeyEvent&)) {
  return [monitor, handle](const platform::DesktopEvent& event) {
    if (auto strong = monitor.lock()) ((*strong).*handle)(toKeyEvent(event));
  };
}

template <>
platform::LocalHandler HotkeyMonitor::handlerFor(std::weak_ptr<HotkeyMonitor> monitor,
                                                 void (HotkeyMonitor::*handle)(const KeyEvent&)) {
  return [monitor, handle](const platform::DesktopEvent& event) {
    if (auto strong = monitor.lock()) ((*strong).*handle)(toKeyEvent(event));
    return &event;
  };
}

void HotkeyMonitor::start() {
  using platform::addGlobalMonitor, platform::addLocalMonitor;
  using platform::GlobalHandler, platform::LocalHandler;
  globalFlagsMonitor =
      addGlobalMonitor(platform::flagsChangedMask,
                       handlerFor<GlobalHandler>(self, &HotkeyMonitor::handleFlagsChanged));
  localFlagsMonitor =
      addLocalMonitor(platform::flagsChangedMask,
                      handlerFor<LocalHandler>(self, &HotkeyMonitor::handleFlagsChanged));
  if (shortcut.mode != Mode::fnSpace) return;
  globalKeyMonitor = addGlobalMonitor(
      platform::keyDownMask, handlerFor<GlobalHandler>(self, &HotkeyMonitor::handleKeyDown));
  localKeyMonitor = addLocalMonitor(platform::keyDownMask,
                                    handlerFor<LocalHandler>(self, &HotkeyMonitor::handleKeyDown));
}

void HotkeyMonitor::stop() {
  for (const auto* handle :
       {&globalFlagsMonitor, &localFlagsMonitor, &globalKeyMonitor, &localKeyMonitor}) {
    if (*handle) platform::removeMonitor(**handle);
  }
}

void HotkeyMonitor::handleFlagsChanged(const KeyEvent& event) {
  bool fnDown = hasFunctionFlag(event.modifierFlags);
  if (shortcut.mode == Mode::fnOnly && fnDown && !functionPressed) emitToggle("fn");
  if (!fnDown) spaceTriggeredDuringCurrentPress = false;
  functionPressed = fnDown;
}

void HotkeyMonitor::handleKeyDown(const KeyEvent& event) {
  if (shortcut.mode != Mode::fnSpace) return;
  if (!functionPressed && !hasFunctionFlag(event.modifierFlags)) return;
  if (!isSpace(event)) return;
  if (spaceTriggeredDuringCurrentPress) return;
  spaceTriggeredDuringCurrentPress = true;
  emitToggle("fn+space");
}

void HotkeyMonitor::emitToggle(std::string_view source) {
  emit({{"type", std::string("toggle")},
        {"shortcut", shortcut.rawValue},
        {"source", std::string(source)}});
}

}  // namespace qen
