// How another key plays Fn's part in AppKit's events: a right-hand modifier
// through its device-dependent modifier bit, F13 to F20 through their own
// key-downs and key-ups. Plain C++, so that it is tested where AppKit is not.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/platform.h"

namespace qen::platform::macos {

// The device-dependent bits of modifierFlags (IOKit's NX_DEVICE*KEYMASK),
// which tell which side of a modifier is held.
inline constexpr ModifierFlags leftControlDeviceBit = 0x1;
inline constexpr ModifierFlags leftCommandDeviceBit = 0x8;
inline constexpr ModifierFlags rightCommandDeviceBit = 0x10;
inline constexpr ModifierFlags leftOptionDeviceBit = 0x20;
inline constexpr ModifierFlags rightOptionDeviceBit = 0x40;
inline constexpr ModifierFlags rightControlDeviceBit = 0x2000;

// AppKit's virtual key code of a key in Fn's part (Carbon's kVK_ constants).
std::uint16_t virtualKeyCode(FnKey key);

class FnKeyTranslation {
 public:
  constexpr FnKeyTranslation() = default;
  explicit constexpr FnKeyTranslation(FnKey key) : key_(key) {}

  // The events to ask AppKit for on behalf of a monitor of mask: an F-key's
  // presses arrive as key events, which the flags-changed monitors need.
  EventMask watchedEvents(EventMask mask) const;

  // The event as the core sees it, or nothing for a repeat of the named key.
  // Its type may change: the named F-key's key-down and key-up become
  // flags-changed events. isRepeat is AppKit's isARepeat of a key-down.
  std::optional<DesktopEvent> translate(DesktopEvent event, bool isRepeat);

 private:
  bool isNamedFunctionKey(const DesktopEvent& event) const;

  FnKey key_ = FnKey::fn;
  bool functionKeyHeld_ = false;  // the named F-key, between its key-down and key-up
};

}  // namespace qen::platform::macos
