// How another key plays Fn's part in AppKit's events: a right-hand modifier
// through its device-dependent modifier bit (or, where an event leaves those
// out, the flags-changed event's key code), F13 to F20 through their own
// key-downs and key-ups. Plain C++, so that it is tested where AppKit is not.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

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

// Whether the system holds a key down right now, by its virtual key code.
using KeyIsDown = std::function<bool(std::uint16_t keyCode)>;

// What one of AppKit's events becomes for the core, in order: nothing, the
// event itself, or a release that AppKit never reported and then the event.
class TranslatedEvents {
 public:
  void push(const DesktopEvent& event) { events_[count_++] = event; }
  const DesktopEvent* begin() const { return events_.data(); }
  const DesktopEvent* end() const { return events_.data() + count_; }
  std::size_t size() const { return count_; }

 private:
  std::array<DesktopEvent, 2> events_;
  std::size_t count_ = 0;
};

class FnKeyTranslation {
 public:
  FnKeyTranslation() = default;
  // keyIsDown is asked, while the named F-key is held, whether it still is.
  explicit FnKeyTranslation(FnKey key, KeyIsDown keyIsDown = {})
      : key_(key), keyIsDown_(std::move(keyIsDown)) {}

  // The events to ask AppKit for on behalf of a monitor of mask: an F-key's
  // presses arrive as key events, which the flags-changed monitors need.
  EventMask watchedEvents(EventMask mask) const;

  // The event as the core sees it. The named F-key's key-down and key-up
  // become flags-changed events, and a repeat of it nothing. Call once per
  // event of AppKit's, whichever monitors want it: the translation keeps
  // state. isRepeat is AppKit's isARepeat of a key-down.
  TranslatedEvents translate(DesktopEvent event, bool isRepeat);

 private:
  void followModifierSides(const DesktopEvent& event);
  void translateFunctionKey(DesktopEvent event, bool isRepeat, TranslatedEvents& out);
  bool isNamedFunctionKey(const DesktopEvent& event) const;
  bool systemSaysFunctionKeyIsDown() const;

  FnKey key_ = FnKey::fn;
  KeyIsDown keyIsDown_;
  // A named right-hand modifier and its left twin, as last known.
  bool rightHeld_ = false;
  bool leftHeld_ = false;
  bool functionKeyHeld_ = false;  // the named F-key, between its key-down and key-up
  // The system said the F-key was down at its own key-down: its later answers
  // tell something during this press.
  bool keyStateReadable_ = false;
};

}  // namespace qen::platform::macos
