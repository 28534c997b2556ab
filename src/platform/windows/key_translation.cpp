#include "platform/windows/key_translation.h"

#include <algorithm>
#include <array>
#include <bit>
#include <utility>

namespace qen::platform::windows {
namespace {

constexpr std::uint16_t noDesktopKeyCode = 0xFFFF;

struct ModifierKey {
  std::uint8_t virtualKey;
  ModifierFlags bit;
};

constexpr ModifierKey modifierKeys[] = {
    {vk::leftShift, shiftKeyFlag},     {vk::rightShift, shiftKeyFlag},
    {vk::leftControl, controlKeyFlag}, {vk::rightControl, controlKeyFlag},
    {vk::leftMenu, optionKeyFlag},     {vk::rightMenu, optionKeyFlag},
    {vk::leftWin, commandKeyFlag},     {vk::rightWin, commandKeyFlag},
    {vk::capital, capsLockKeyFlag},
};

ModifierFlags modifierBit(std::uint8_t virtualKey) {
  for (const auto& key : modifierKeys) {
    if (key.virtualKey == virtualKey) return key.bit;
  }
  return 0;
}

// Bit order of watchedKeyBit(): the modifiers, Space, then F13 to F20.
constexpr std::uint8_t watchedKeys[] = {vk::leftShift,
                                        vk::rightShift,
                                        vk::leftControl,
                                        vk::rightControl,
                                        vk::leftMenu,
                                        vk::rightMenu,
                                        vk::leftWin,
                                        vk::rightWin,
                                        vk::capital,
                                        vk::space,
                                        0x7C,
                                        0x7D,
                                        0x7E,
                                        0x7F,
                                        0x80,
                                        0x81,
                                        0x82,
                                        0x83};

// The desktop's codes for the keys of a US keyboard, as on Linux.
constexpr std::pair<std::uint8_t, std::uint16_t> desktopKeyCodes[] = {
    {'A', 0x00},  {'S', 0x01},  {'D', 0x02},  {'F', 0x03},  {'H', 0x04},
    {'G', 0x05},  {'Z', 0x06},  {'X', 0x07},  {'C', 0x08},  {'V', 0x09},
    {0xE2, 0x0A}, {'B', 0x0B},  {'Q', 0x0C},  {'W', 0x0D},  {'E', 0x0E},
    {'R', 0x0F},  {'Y', 0x10},  {'T', 0x11},  {'1', 0x12},  {'2', 0x13},
    {'3', 0x14},  {'4', 0x15},  {'6', 0x16},  {'5', 0x17},  {0xBB, 0x18},
    {'9', 0x19},  {'7', 0x1A},  {0xBD, 0x1B}, {'8', 0x1C},  {'0', 0x1D},
    {0xDD, 0x1E}, {'O', 0x1F},  {'U', 0x20},  {0xDB, 0x21}, {'I', 0x22},
    {'P', 0x23},  {0x0D, 0x24}, {'L', 0x25},  {'J', 0x26},  {0xDE, 0x27},
    {'K', 0x28},  {0xBA, 0x29}, {0xDC, 0x2A}, {0xBC, 0x2B}, {0xBF, 0x2C},
    {'N', 0x2D},  {'M', 0x2E},  {0xBE, 0x2F}, {0x09, 0x30}, {vk::space, spaceKeyCode},
    {0xC0, 0x32}, {0x08, 0x33}, {0x1B, 0x35}, {0x6E, 0x41}, {0x6A, 0x43},
    {0x6B, 0x45}, {0x6F, 0x4B}, {0x6D, 0x4E}, {0x60, 0x52}, {0x61, 0x53},
    {0x62, 0x54}, {0x63, 0x55}, {0x64, 0x56}, {0x65, 0x57}, {0x66, 0x58},
    {0x67, 0x59}, {0x68, 0x5B}, {0x69, 0x5C}, {0x74, 0x60}, {0x75, 0x61},
    {0x76, 0x62}, {0x72, 0x63}, {0x77, 0x64}, {0x78, 0x65}, {0x7A, 0x67},
    {0x79, 0x6D}, {0x7B, 0x6F}, {0x24, 0x73}, {0x21, 0x74}, {0x2E, 0x75},
    {0x73, 0x76}, {0x23, 0x77}, {0x71, 0x78}, {0x22, 0x79}, {0x70, 0x7A},
    {0x25, 0x7B}, {0x27, 0x7C}, {0x28, 0x7D}, {0x26, 0x7E},
};

constexpr std::uint16_t keypadEnterKeyCode = 0x4C;
constexpr std::uint8_t returnKey = 0x0D;

constexpr std::array<std::uint16_t, 256> makeDesktopKeyTable() {
  std::array<std::uint16_t, 256> table{};
  for (auto& entry : table) entry = noDesktopKeyCode;
  for (auto [windows, desktop] : desktopKeyCodes) table[windows] = desktop;
  return table;
}

constexpr auto desktopKeyTable = makeDesktopKeyTable();

// Raw input's flags (RI_KEY_*).
constexpr std::uint16_t rawBreak = 1;
constexpr std::uint16_t rawE0 = 2;
constexpr std::uint16_t rawE1 = 4;
constexpr std::uint16_t leftShiftScanCode = 0x2A;
constexpr std::uint16_t rightShiftScanCode = 0x36;

constexpr std::size_t unmatchedLimit = 16;

}  // namespace

std::uint8_t sidedVirtualKey(std::uint8_t virtualKey, std::uint16_t scanCode, bool extended) {
  switch (virtualKey) {
    case vk::shift:
      return (scanCode & 0xFF) == rightShiftScanCode ? vk::rightShift : vk::leftShift;
    case vk::control:
      return extended ? vk::rightControl : vk::leftControl;
    case vk::menu:
      return extended ? vk::rightMenu : vk::leftMenu;
    default:
      return virtualKey;
  }
}

std::optional<HookKey> rawInputKey(std::uint16_t virtualKey, std::uint16_t makeCode,
                                   std::uint16_t flags, std::uint32_t time) {
  bool extended = (flags & rawE0) != 0;
  bool addedShift = extended && (makeCode == leftShiftScanCode || makeCode == rightShiftScanCode);
  if (virtualKey == 0 || virtualKey >= vk::none || (flags & rawE1) || addedShift) {
    return std::nullopt;
  }
  auto key = static_cast<std::uint8_t>(virtualKey);
  return HookKey{.virtualKey = sidedVirtualKey(key, makeCode, extended),
                 .scanCode = makeCode,
                 .extended = extended,
                 .up = (flags & rawBreak) != 0,
                 .time = time};
}

std::uint8_t virtualKeyOf(FnKey key) {
  switch (key) {
    case FnKey::fn:
      return vk::none;
    case FnKey::rightControl:
      return vk::rightControl;
    case FnKey::rightOption:
      return vk::rightMenu;
    case FnKey::rightCommand:
      return vk::rightWin;
    default:
      break;
  }
  // F13 to F20 are consecutive, in Windows as in FnKey.
  return static_cast<std::uint8_t>(vk::f13 +
                                   (static_cast<int>(key) - static_cast<int>(FnKey::f13)));
}

std::uint16_t desktopKeyCode(std::uint8_t virtualKey, bool extended) {
  if (virtualKey == returnKey && extended) return keypadEnterKeyCode;
  return desktopKeyTable[virtualKey];
}

std::uint32_t watchedKeyBit(std::uint8_t virtualKey) {
  auto found = std::find(std::begin(watchedKeys), std::end(watchedKeys), virtualKey);
  if (found == std::end(watchedKeys)) return 0;
  return 1U << (found - std::begin(watchedKeys));
}

std::uint32_t KeyStateWatch::keysReportedUp(const HookKey& key, IsDown isDown) {
  std::uint32_t own = watchedKeyBit(key.virtualKey);
  std::uint32_t reportedUp = 0;
  for (std::size_t i = 0; (held_ & ~own) >> i; ++i) {
    std::uint32_t bit = 1U << i;
    bool settled = key.time - downAt_[i] >= settleMilliseconds;  // wraps as the clock does
    if ((held_ & ~own & bit) && settled && !isDown(watchedKeys[i])) reportedUp |= bit;
  }
  held_ &= ~reportedUp;
  if (own != 0 && !key.up && !(held_ & own)) {
    downAt_[std::countr_zero(own)] = key.time;
  }
  held_ = key.up ? (held_ & ~own) : (held_ | own);
  return reportedUp;
}

void KeyTranslator::translate(const HookKey& key, std::uint32_t keysReportedUp) {
  if (auto control = std::exchange(pendingControl_, std::nullopt)) {
    if (isAltGrControl(*control, key)) {
      // Both come from the one press of AltGr; only Right Alt is a key.
    } else {
      apply(*control);
    }
  }
  for (std::size_t i = 0; keysReportedUp >> i; ++i) {
    if (keysReportedUp & (1U << i)) release(watchedKeys[i]);
  }
  if (key.virtualKey == vk::leftControl) {
    if (key.scanCode == altGrControlScanCode) return;
    pendingControl_ = key;
    return;
  }
  apply(key);
}

// Windows makes up AltGr's Left Ctrl right before the Right Alt, in the same
// direction and at the same time; a scan code without the simulated bit
// does not rule it out, as an injected Right Alt gets one too.
bool KeyTranslator::isAltGrControl(const HookKey& control, const HookKey& next) const {
  return next.virtualKey == vk::rightMenu && next.up == control.up && next.time == control.time;
}

void KeyTranslator::releaseAll() {
  pendingControl_.reset();
  auto flagsBefore = modifierFlags();
  std::fill(held_.begin(), held_.end(), false);
  if (modifierFlags() != flagsBefore) emitFlagsChanged();
}

void KeyTranslator::apply(const HookKey& key) {
  auto virtualKey = key.virtualKey;
  if (virtualKey == 0 || virtualKey == vk::none) return;
  if (key.up) {
    if (bitOf(virtualKey) != 0) {
      release(virtualKey);
    } else {
      held_[virtualKey] = false;
      if (reportKeyUps_) emitKey(keyUpMask, virtualKey, key.extended);
    }
    return;
  }
  bool repeat = held_[virtualKey];
  held_[virtualKey] = true;
  if (bitOf(virtualKey) == 0) {
    emitKey(keyDownMask, virtualKey, key.extended);  // its auto-repeats as well
  } else if (!repeat) {
    emitFlagsChanged();
  }
}

// Only a key believed held goes up: the key-ups of keys let go elsewhere, or
// already let go, change nothing.
void KeyTranslator::release(std::uint8_t virtualKey) {
  if (!held_[virtualKey]) return;
  held_[virtualKey] = false;
  if (bitOf(virtualKey) != 0) {
    emitFlagsChanged();
  } else if (reportKeyUps_) {
    emitKey(keyUpMask, virtualKey, false);
  }
}

ModifierFlags KeyTranslator::modifierFlags() const {
  ModifierFlags flags = 0;
  for (const auto& key : modifierKeys) {
    if (held_[key.virtualKey]) flags |= bitOf(key.virtualKey);
  }
  if (fnKey_ != vk::none && held_[fnKey_]) flags |= functionKeyFlag;
  return flags;
}

// A named key gives Fn's bit instead of its own.
ModifierFlags KeyTranslator::bitOf(std::uint8_t virtualKey) const {
  return virtualKey == fnKey_ ? functionKeyFlag : modifierBit(virtualKey);
}

void KeyTranslator::emitFlagsChanged() {
  sink_(DesktopEvent{.type = flagsChangedMask, .modifierFlags = modifierFlags()});
}

void KeyTranslator::emitKey(EventMask type, std::uint8_t virtualKey, bool extended) {
  DesktopEvent event{.type = type,
                     .modifierFlags = modifierFlags(),
                     .keyCode = desktopKeyCode(virtualKey, extended)};
  if (virtualKey == vk::space) event.charactersIgnoringModifiers = " ";
  sink_(event);
}

// Hardware keys are told apart by their scan codes, which both report alike;
// injected ones often have none, and then by their key, either side of it.
HookWatch::Identity HookWatch::identity(const HookKey& key) {
  Identity direction = key.up ? 1U << 31 : 0;
  if (key.scanCode != 0) {
    return direction | 1U << 30 | key.scanCode | (key.extended ? 1U << 16 : 0);
  }
  std::uint8_t sideless = key.virtualKey;
  switch (modifierBit(key.virtualKey)) {
    case shiftKeyFlag:
      sideless = vk::shift;
      break;
    case controlKeyFlag:
      sideless = vk::control;
      break;
    case optionKeyFlag:
      sideless = vk::menu;
      break;
    case commandKeyFlag:
      sideless = vk::leftWin;
      break;
    default:
      break;
  }
  return direction | sideless;
}

bool HookWatch::hookSaw(const HookKey& key) {
  auto id = identity(key);
  if (!handedOn_.empty()) {
    if (handedOn_.front() == id) {
      handedOn_.pop_front();
      return false;
    }
    handedOn_.clear();
  }
  auto seen = std::find_if(unseenByHook_.begin(), unseenByHook_.end(),
                           [&](const HookKey& raw) { return identity(raw) == id; });
  if (seen != unseenByHook_.end()) {
    unseenByHook_.erase(unseenByHook_.begin(), std::next(seen));
    return true;
  }
  // Keys that Windows makes up (AltGr's Left Ctrl) reach the hook alone.
  unseenByRawInput_.push_back(id);
  if (unseenByRawInput_.size() > unmatchedLimit) unseenByRawInput_.pop_front();
  return true;
}

HookWatch::Verdict HookWatch::rawInputSaw(const HookKey& key) {
  auto id = identity(key);
  auto seen = std::find(unseenByRawInput_.begin(), unseenByRawInput_.end(), id);
  if (seen != unseenByRawInput_.end()) {
    unseenByRawInput_.erase(unseenByRawInput_.begin(), std::next(seen));
    return {};
  }
  unseenByHook_.push_back(key);
  if (unseenByHook_.size() < 2) return {};
  Verdict verdict{.reinstall = true, .missed = {unseenByHook_.begin(), unseenByHook_.end()}};
  handedOn_.clear();
  for (const auto& missed : verdict.missed) handedOn_.push_back(identity(missed));
  unseenByHook_.clear();
  unseenByRawInput_.clear();
  return verdict;
}

}  // namespace qen::platform::windows
