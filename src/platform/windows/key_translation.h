// Turns the low-level keyboard hook's key events into the desktop's
// flags-changed, key-down and key-up events, and tells from raw input when
// Windows has taken the hook away. Plain C++ without <windows.h>, so that the
// Linux test build runs it too.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "platform/platform.h"

namespace qen::platform::windows {

// The virtual-key codes (VK_*) that the translation tells apart.
namespace vk {
inline constexpr std::uint8_t shift = 0x10;
inline constexpr std::uint8_t control = 0x11;
inline constexpr std::uint8_t menu = 0x12;  // Alt
inline constexpr std::uint8_t capital = 0x14;
inline constexpr std::uint8_t space = 0x20;
inline constexpr std::uint8_t leftWin = 0x5B;
inline constexpr std::uint8_t rightWin = 0x5C;
inline constexpr std::uint8_t f13 = 0x7C;
inline constexpr std::uint8_t leftShift = 0xA0;
inline constexpr std::uint8_t rightShift = 0xA1;
inline constexpr std::uint8_t leftControl = 0xA2;
inline constexpr std::uint8_t rightControl = 0xA3;
inline constexpr std::uint8_t leftMenu = 0xA4;
inline constexpr std::uint8_t rightMenu = 0xA5;
inline constexpr std::uint8_t none = 0xFF;  // a key that has no virtual-key code
}  // namespace vk

// The scan code of the Left Ctrl that Windows makes up for AltGr: Left Ctrl's
// own, 0x1D, with the bit 0x200 of the keys that Windows simulates.
inline constexpr std::uint16_t altGrControlScanCode = 0x21D;

// One key event of the hook (KBDLLHOOKSTRUCT), or one that raw input saw.
struct HookKey {
  std::uint8_t virtualKey = 0;  // sided for modifiers: VK_LCONTROL, never VK_CONTROL
  std::uint16_t scanCode = 0;
  bool extended = false;   // LLKHF_EXTENDED, raw input's RI_KEY_E0
  bool up = false;         // LLKHF_UP, raw input's RI_KEY_BREAK
  std::uint32_t time = 0;  // milliseconds, GetTickCount's clock
};

// The key that SendInput or raw input names without its side (VK_CONTROL),
// as the hook names it (VK_LCONTROL or VK_RCONTROL); other keys unchanged.
std::uint8_t sidedVirtualKey(std::uint8_t virtualKey, std::uint16_t scanCode, bool extended);

// A keyboard's raw input event (RAWKEYBOARD) as the hook would report it, or
// nothing for what the hook never reports: the Shift a keyboard adds to
// some extended keys (E0 2A, E0 36), Pause's E1 prefix, and keys without a
// virtual-key code.
std::optional<HookKey> rawInputKey(std::uint16_t virtualKey, std::uint16_t makeCode,
                                   std::uint16_t flags, std::uint32_t time);

// The virtual-key code of the key that plays Fn's part; vk::none for Fn,
// which Windows never receives.
std::uint8_t virtualKeyOf(FnKey key);

// The desktop's virtual key code for a Windows key; 0xFFFF when it has none.
std::uint16_t desktopKeyCode(std::uint8_t virtualKey, bool extended);

// The keys whose being held matters to the desktop's events, one bit each:
// the modifiers, Space, and F13 to F20.
std::uint32_t watchedKeyBit(std::uint8_t virtualKey);

// Runs inside the hook: which watched keys that the hook saw go down Windows
// now reports as up (GetAsyncKeyState), so that their key-up went elsewhere
// (the secure desktop). The callback is cheap: it only asks about keys held,
// and only once they have been held a while, as an answer may be that old
// (Wine keeps it for 50 ms).
class KeyStateWatch {
 public:
  using IsDown = bool (*)(std::uint8_t virtualKey);
  static constexpr std::uint32_t settleMilliseconds = 100;

  // Call for each event of the hook, before it is handed on; returns the
  // bits (watchedKeyBit) of the held keys now up, the event's own excepted.
  std::uint32_t keysReportedUp(const HookKey& key, IsDown isDown);

 private:
  std::uint32_t held_ = 0;
  std::uint32_t downAt_[32] = {};  // each held key's time of going down
};

class KeyTranslator {
 public:
  using Sink = std::function<void(const DesktopEvent&)>;

  explicit KeyTranslator(Sink sink) : sink_(std::move(sink)) {}

  // The key that plays Fn's part (none until said otherwise). A named
  // right-hand modifier then gives the Fn bit instead of its own, and a named
  // F-key becomes a modifier with the Fn bit.
  void setFnKey(FnKey key) { fnKey_ = virtualKeyOf(key); }

  // From now on a released key that is no modifier becomes a key-up event.
  void reportKeyUps() { reportKeyUps_ = true; }

  // One event of the hook, with the keys that Windows reported up at it
  // (KeyStateWatch), which are let go first. A Left Ctrl waits for the next
  // event, which tells whether it was AltGr's.
  void translate(const HookKey& key, std::uint32_t keysReportedUp = 0);

  // The input went to another desktop (a locked session, Ctrl+Alt+Del, a UAC
  // prompt), where the key-ups of the keys held now will go: let go of them.
  void releaseAll();

  ModifierFlags modifierFlags() const;

 private:
  bool isAltGrControl(const HookKey& control, const HookKey& next) const;
  void apply(const HookKey& key);
  void release(std::uint8_t virtualKey);
  ModifierFlags bitOf(std::uint8_t virtualKey) const;
  void emitFlagsChanged();
  void emitKey(EventMask type, std::uint8_t virtualKey, bool extended);

  Sink sink_;
  std::uint8_t fnKey_ = vk::none;
  bool reportKeyUps_ = false;
  std::vector<bool> held_ = std::vector<bool>(256);
  std::optional<HookKey> pendingControl_;  // a Left Ctrl that may be AltGr's
};

// Tells from raw input (RIDEV_INPUTSINK), which Windows never takes away, that
// the hook is gone: Windows removes a hook silently after a timeout, or over
// sleep. Each key event reaches both; in either order, but never more than
// one apart while the hook works, as Windows calls the hook for each event
// before it takes the next.
class HookWatch {
 public:
  struct Verdict {
    bool reinstall = false;
    std::vector<HookKey> missed;  // for the translation, in order
  };

  // A key event of the hook: whether it goes on to the translation (false for
  // a late copy of one that raw input has already handed on).
  bool hookSaw(const HookKey& key);

  // A key event of raw input. When the hook has missed it and the one before,
  // the hook is gone: reinstall it, and translate what it missed.
  Verdict rawInputSaw(const HookKey& key);

 private:
  using Identity = std::uint32_t;
  static Identity identity(const HookKey& key);

  std::deque<HookKey> unseenByHook_;       // raw input's, not yet from the hook
  std::deque<Identity> unseenByRawInput_;  // the hook's, not yet from raw input
  std::deque<Identity> handedOn_;          // missed events that a late hook may still report
};

}  // namespace qen::platform::windows
