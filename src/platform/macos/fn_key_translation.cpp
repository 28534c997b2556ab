#include "platform/macos/fn_key_translation.h"

namespace qen::platform::macos {
namespace {

struct ModifierSides {
  ModifierFlags modifier;  // device-independent, for either side
  ModifierFlags left;
  ModifierFlags right;
};

std::optional<ModifierSides> sidesOf(FnKey key) {
  switch (key) {
    case FnKey::rightControl:
      return ModifierSides{controlKeyFlag, leftControlDeviceBit, rightControlDeviceBit};
    case FnKey::rightOption:
      return ModifierSides{optionKeyFlag, leftOptionDeviceBit, rightOptionDeviceBit};
    case FnKey::rightCommand:
      return ModifierSides{commandKeyFlag, leftCommandDeviceBit, rightCommandDeviceBit};
    default:
      return std::nullopt;
  }
}

// The right-hand side shows as Fn; the modifier's own bit stays for its left
// twin, and for events that do not tell the side.
ModifierFlags rightSideAsFunction(ModifierFlags flags, ModifierSides sides) {
  bool right = (flags & sides.right) != 0;
  bool left = (flags & sides.left) != 0;
  if (!right) return flags;
  flags |= functionKeyFlag;
  if (!left) flags &= ~sides.modifier;
  return flags;
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

std::optional<DesktopEvent> FnKeyTranslation::translate(DesktopEvent event, bool isRepeat) {
  if (key_ == FnKey::fn) return event;
  // The real Fn, and the Fn flag that AppKit gives arrows and F-keys.
  event.modifierFlags &= ~functionKeyFlag;
  if (auto sides = sidesOf(key_)) {
    event.modifierFlags = rightSideAsFunction(event.modifierFlags, *sides);
    return event;
  }
  if (isNamedFunctionKey(event)) {
    if (event.type == keyDownMask && isRepeat) return std::nullopt;
    functionKeyHeld_ = event.type == keyDownMask;
    event = DesktopEvent{.type = flagsChangedMask, .modifierFlags = event.modifierFlags};
  }
  if (functionKeyHeld_) event.modifierFlags |= functionKeyFlag;
  return event;
}

bool FnKeyTranslation::isNamedFunctionKey(const DesktopEvent& event) const {
  return isKeyEvent(event) && event.keyCode == virtualKeyCode(key_);
}

}  // namespace qen::platform::macos
