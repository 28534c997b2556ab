// Turns the kernel's per-keyboard key events into the desktop's flags-changed
// and key-down events, with held keys combined across all keyboards.
#pragma once

#include <linux/input-event-codes.h>

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>

#include "platform/platform.h"

namespace qen::platform::evdev {

using KeyboardId = std::uint64_t;

// The desktop's virtual key code for a kernel key code; 0xFFFF when it has none.
std::uint16_t virtualKeyCode(std::uint16_t kernelCode);

// The modifierFlags bit of a kernel key code; 0 for keys that are no modifier.
ModifierFlags modifierBit(std::uint16_t kernelCode);

// The kernel's key code of the key that plays Fn's part.
std::uint16_t kernelCode(FnKey key);

// The kernel's key code of an X server's keycode (X keycodes are the evdev
// codes plus 8, and end at 255); nothing for a keycode below 8.
std::optional<std::uint16_t> kernelCodeOfX11Keycode(std::uint32_t keycode);

class KeyTranslator {
 public:
  // The key that plays Fn's part (KEY_FN until said otherwise); before any
  // keyboard joins. A key other than KEY_FN becomes a modifier with the Fn
  // bit, and KEY_FN then no key at all.
  void setFnKey(std::uint16_t kernelCode) { fnKeyCode_ = kernelCode; }

  // From now on a released key that is no modifier becomes a key-up event;
  // until then it is nothing, as nobody listens for it.
  void reportKeyUps() { reportKeyUps_ = true; }

  // Keys a keyboard already held when it was opened join the state silently.
  void joinKeyboard(KeyboardId keyboard, std::span<const std::uint16_t> heldCodes);

  // One EV_KEY event (value 0 release, 1 press, 2 autorepeat) of a keyboard.
  std::optional<DesktopEvent> translate(KeyboardId keyboard, std::uint16_t code,
                                        std::int32_t value);

  // The keyboard is gone: it releases every key it held.
  std::optional<DesktopEvent> removeKeyboard(KeyboardId keyboard);

  ModifierFlags modifierFlags() const;

 private:
  using KeySet = std::bitset<KEY_CNT>;

  bool isIgnored(std::uint16_t code) const;
  ModifierFlags bitOf(std::uint16_t code) const;
  void setHeld(KeySet& keys, std::uint16_t code, bool held);
  DesktopEvent flagsChanged() const;
  DesktopEvent keyEvent(EventMask type, std::uint16_t code) const;

  std::unordered_map<KeyboardId, KeySet> heldByKeyboard_;
  std::array<std::uint16_t, KEY_CNT> holderCount_{};
  bool reportKeyUps_ = false;
  std::uint16_t fnKeyCode_ = KEY_FN;
};

}  // namespace qen::platform::evdev
