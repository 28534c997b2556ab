#include "platform/macos/fn_key_translation.h"

#include <optional>

namespace qen::platform::macos {
namespace {

struct ModifierSides {
  ModifierFlags modifier;  // device-independent, for either side
  ModifierFlags left;
  ModifierFlags right;
  std::uint16_t leftKeyCode;  // the right one's is virtualKeyCode()'s
};

std::optional<ModifierSides> sidesOf(FnKey key) {
  switch (key) {
    case FnKey::rightControl:
      return ModifierSides{controlKeyFlag, leftControlDeviceBit, rightControlDeviceBit, 59};
    case FnKey::rightOption:
      return ModifierSides{optionKeyFlag, leftOptionDeviceBit, rightOptionDeviceBit, 58};
    case FnKey::rightCommand:
      return ModifierSides{commandKeyFlag, leftCommandDeviceBit, rightCommandDeviceBit, 55};
    default:
      return std::nullopt;
  }
}

DesktopEvent flagsChanged(ModifierFlags modifierFlags) {
  return DesktopEvent{.type = flagsChangedMask, .modifierFlags = modifierFlags};
}

bool isKeyEvent(const DesktopEvent& event) {
  return event.type == keyDownMask || event.type == keyUpMask;
}

}  // namespace

std::uint16_t virtualKeyCode(FnKey key) {
  switch (key) {
    case FnKey::fn:
      return 63;  // kVK_Function
    case FnKey::rightControl:
      return 62;
    case FnKey::rightOption:
      return 61;
    case FnKey::rightCommand:
      return 54;
    case FnKey::f13:
      return 105;
    case FnKey::f14:
      return 107;
    case FnKey::f15:
      return 113;
    case FnKey::f16:
      return 106;
    case FnKey::f17:
      return 64;
    case FnKey::f18:
      return 79;
    case FnKey::f19:
      return 80;
    case FnKey::f20:
      return 90;
  }
  return 63;
}

EventMask FnKeyTranslation::watchedEvents(EventMask mask) const {
  bool functionKeyNamed = key_ != FnKey::fn && !sidesOf(key_);
  if (functionKeyNamed && (mask & flagsChangedMask)) return mask | keyDownMask | keyUpMask;
  return mask;
}

TranslatedEvents FnKeyTranslation::translate(DesktopEvent event, bool isRepeat) {
  TranslatedEvents out;
  if (key_ == FnKey::fn) {
    out.push(event);
    return out;
  }
  // The real Fn, and the Fn flag that AppKit gives arrows and F-keys.
  event.modifierFlags &= ~functionKeyFlag;
  if (auto sides = sidesOf(key_)) {
    followModifierSides(event);
    if (rightHeld_) {
      event.modifierFlags |= functionKeyFlag;
      // The modifier's own bit stays for its left twin.
      if (!leftHeld_) event.modifierFlags &= ~sides->modifier;
    }
    out.push(event);
    return out;
  }
  translateFunctionKey(std::move(event), isRepeat, out);
  return out;
}

// As Chromium reads a flags-changed event (IsModifierKeyUp() in
// web_input_event_builders_mac.mm): the device bits are believed while they
// agree with the device-independent bit. Events that leave them out (remote
// control, screen sharing, synthetic events) still carry the key code of the
// modifier that changed.
void FnKeyTranslation::followModifierSides(const DesktopEvent& event) {
  auto sides = *sidesOf(key_);
  bool either = (event.modifierFlags & sides.modifier) != 0;
  bool right = (event.modifierFlags & sides.right) != 0;
  bool left = (event.modifierFlags & sides.left) != 0;
  if (either == (right || left)) {
    rightHeld_ = right;
    leftHeld_ = left;
  } else if (!either) {
    rightHeld_ = leftHeld_ = false;
  } else if (event.type == flagsChangedMask) {
    // The modifier stays held, so the key that changed went up only if its
    // twin is held too.
    if (event.keyCode == virtualKeyCode(key_)) rightHeld_ = !(rightHeld_ && leftHeld_);
    if (event.keyCode == sides.leftKeyCode) leftHeld_ = !(leftHeld_ && rightHeld_);
  }
}

// A key-up lost while the F-key was held (secure event input turning on takes
// it, for one) would leave it held for ever: one Space would then toggle, and
// the next real press would go unseen.
void FnKeyTranslation::translateFunctionKey(DesktopEvent event, bool isRepeat,
                                            TranslatedEvents& out) {
  bool ownEvent = isNamedFunctionKey(event);
  if (functionKeyHeld_ && !ownEvent && !systemSaysFunctionKeyIsDown()) {
    functionKeyHeld_ = false;
    out.push(flagsChanged(event.modifierFlags));
  }
  if (ownEvent) {
    if (event.type == keyDownMask && isRepeat) return;
    bool pressed = event.type == keyDownMask;
    // A new press while it is held: the key-up between them was lost.
    if (pressed && functionKeyHeld_) out.push(flagsChanged(event.modifierFlags));
    functionKeyHeld_ = pressed;
    keyStateReadable_ = pressed && keyIsDown_ && keyIsDown_(virtualKeyCode(key_));
    event = flagsChanged(event.modifierFlags);
  }
  if (functionKeyHeld_) event.modifierFlags |= functionKeyFlag;
  out.push(event);
}

// Only an answer that the key's own press confirmed counts: where the system
// cannot tell (events posted past the HID system, or the state withheld from
// this process), the F-key's own key-up stays the only release.
bool FnKeyTranslation::systemSaysFunctionKeyIsDown() const {
  return !keyStateReadable_ || keyIsDown_(virtualKeyCode(key_));
}

bool FnKeyTranslation::isNamedFunctionKey(const DesktopEvent& event) const {
  return isKeyEvent(event) && event.keyCode == virtualKeyCode(key_);
}

}  // namespace qen::platform::macos
