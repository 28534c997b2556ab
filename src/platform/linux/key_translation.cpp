#include "platform/linux/key_translation.h"

namespace qen::platform::evdev {
namespace {

constexpr std::uint16_t noVirtualKeyCode = 0xFFFF;

struct ModifierKey {
  std::uint16_t code;
  ModifierFlags bit;
};

constexpr ModifierKey modifierKeys[] = {
    {KEY_FN, functionKeyFlag},       {KEY_LEFTSHIFT, shiftKeyFlag},
    {KEY_RIGHTSHIFT, shiftKeyFlag},  {KEY_LEFTCTRL, controlKeyFlag},
    {KEY_RIGHTCTRL, controlKeyFlag}, {KEY_LEFTALT, optionKeyFlag},
    {KEY_RIGHTALT, optionKeyFlag},   {KEY_LEFTMETA, commandKeyFlag},
    {KEY_RIGHTMETA, commandKeyFlag}, {KEY_CAPSLOCK, capsLockKeyFlag},
};

// The desktop's virtual key codes for the keys of a US keyboard.
constexpr std::pair<std::uint16_t, std::uint16_t> virtualKeyCodes[] = {
    {KEY_A, 0x00},          {KEY_S, 0x01},
    {KEY_D, 0x02},          {KEY_F, 0x03},
    {KEY_H, 0x04},          {KEY_G, 0x05},
    {KEY_Z, 0x06},          {KEY_X, 0x07},
    {KEY_C, 0x08},          {KEY_V, 0x09},
    {KEY_102ND, 0x0A},      {KEY_B, 0x0B},
    {KEY_Q, 0x0C},          {KEY_W, 0x0D},
    {KEY_E, 0x0E},          {KEY_R, 0x0F},
    {KEY_Y, 0x10},          {KEY_T, 0x11},
    {KEY_1, 0x12},          {KEY_2, 0x13},
    {KEY_3, 0x14},          {KEY_4, 0x15},
    {KEY_6, 0x16},          {KEY_5, 0x17},
    {KEY_EQUAL, 0x18},      {KEY_9, 0x19},
    {KEY_7, 0x1A},          {KEY_MINUS, 0x1B},
    {KEY_8, 0x1C},          {KEY_0, 0x1D},
    {KEY_RIGHTBRACE, 0x1E}, {KEY_O, 0x1F},
    {KEY_U, 0x20},          {KEY_LEFTBRACE, 0x21},
    {KEY_I, 0x22},          {KEY_P, 0x23},
    {KEY_ENTER, 0x24},      {KEY_L, 0x25},
    {KEY_J, 0x26},          {KEY_APOSTROPHE, 0x27},
    {KEY_K, 0x28},          {KEY_SEMICOLON, 0x29},
    {KEY_BACKSLASH, 0x2A},  {KEY_COMMA, 0x2B},
    {KEY_SLASH, 0x2C},      {KEY_N, 0x2D},
    {KEY_M, 0x2E},          {KEY_DOT, 0x2F},
    {KEY_TAB, 0x30},        {KEY_SPACE, spaceKeyCode},
    {KEY_GRAVE, 0x32},      {KEY_BACKSPACE, 0x33},
    {KEY_ESC, 0x35},        {KEY_KPDOT, 0x41},
    {KEY_KPASTERISK, 0x43}, {KEY_KPPLUS, 0x45},
    {KEY_KPSLASH, 0x4B},    {KEY_KPENTER, 0x4C},
    {KEY_KPMINUS, 0x4E},    {KEY_KPEQUAL, 0x51},
    {KEY_KP0, 0x52},        {KEY_KP1, 0x53},
    {KEY_KP2, 0x54},        {KEY_KP3, 0x55},
    {KEY_KP4, 0x56},        {KEY_KP5, 0x57},
    {KEY_KP6, 0x58},        {KEY_KP7, 0x59},
    {KEY_KP8, 0x5B},        {KEY_KP9, 0x5C},
    {KEY_F5, 0x60},         {KEY_F6, 0x61},
    {KEY_F7, 0x62},         {KEY_F3, 0x63},
    {KEY_F8, 0x64},         {KEY_F9, 0x65},
    {KEY_F11, 0x67},        {KEY_F10, 0x6D},
    {KEY_F12, 0x6F},        {KEY_HOME, 0x73},
    {KEY_PAGEUP, 0x74},     {KEY_DELETE, 0x75},
    {KEY_F4, 0x76},         {KEY_END, 0x77},
    {KEY_F2, 0x78},         {KEY_PAGEDOWN, 0x79},
    {KEY_F1, 0x7A},         {KEY_LEFT, 0x7B},
    {KEY_RIGHT, 0x7C},      {KEY_DOWN, 0x7D},
    {KEY_UP, 0x7E},
};

constexpr std::array<std::uint16_t, KEY_CNT> makeVirtualKeyTable() {
  std::array<std::uint16_t, KEY_CNT> table{};
  for (auto& entry : table) entry = noVirtualKeyCode;
  for (auto [kernel, desktop] : virtualKeyCodes) table[kernel] = desktop;
  return table;
}

constexpr auto virtualKeyTable = makeVirtualKeyTable();

}  // namespace

std::uint16_t kernelCode(FnKey key) {
  switch (key) {
    case FnKey::fn:
      return KEY_FN;
    case FnKey::rightControl:
      return KEY_RIGHTCTRL;
    case FnKey::rightOption:
      return KEY_RIGHTALT;
    case FnKey::rightCommand:
      return KEY_RIGHTMETA;
    default:
      break;
  }
  // F13 to F20 are consecutive, in the kernel as in FnKey.
  return static_cast<std::uint16_t>(KEY_F13 +
                                    (static_cast<int>(key) - static_cast<int>(FnKey::f13)));
}

std::optional<std::uint16_t> kernelCodeOfX11Keycode(std::uint32_t keycode) {
  constexpr std::uint32_t firstX11Keycode = 8, lastX11Keycode = 255;
  if (keycode < firstX11Keycode || keycode > lastX11Keycode) return std::nullopt;
  return static_cast<std::uint16_t>(keycode - firstX11Keycode);
}

std::uint16_t virtualKeyCode(std::uint16_t kernelCode) {
  return kernelCode < KEY_CNT ? virtualKeyTable[kernelCode] : noVirtualKeyCode;
}

ModifierFlags modifierBit(std::uint16_t kernelCode) {
  for (const auto& key : modifierKeys) {
    if (key.code == kernelCode) return key.bit;
  }
  return 0;
}

void KeyTranslator::joinKeyboard(KeyboardId keyboard, std::span<const std::uint16_t> heldCodes) {
  auto& keys = heldByKeyboard_[keyboard];
  for (auto code : heldCodes) {
    if (code < KEY_CNT && !isIgnored(code)) setHeld(keys, code, true);
  }
}

std::optional<DesktopEvent> KeyTranslator::translate(KeyboardId keyboard, std::uint16_t code,
                                                     std::int32_t value) {
  if (code >= KEY_CNT || value < 0 || value > 2 || isIgnored(code)) return std::nullopt;
  bool isModifier = bitOf(code) != 0;
  auto& keys = heldByKeyboard_[keyboard];
  if (value == 0) {
    setHeld(keys, code, false);
    if (isModifier) return flagsChanged();
    return reportKeyUps_ ? std::optional(keyEvent(keyUpMask, code)) : std::nullopt;
  }
  setHeld(keys, code, true);
  if (isModifier) {
    // Keyboard drivers autorepeat modifiers too (KEY_FN among them); the
    // desktop reports a modifier only when it goes down or up.
    return value == 1 ? std::optional(flagsChanged()) : std::nullopt;
  }
  return keyEvent(keyDownMask, code);
}

std::optional<DesktopEvent> KeyTranslator::removeKeyboard(KeyboardId keyboard) {
  auto found = heldByKeyboard_.find(keyboard);
  if (found == heldByKeyboard_.end()) return std::nullopt;
  auto flagsBefore = modifierFlags();
  for (std::uint16_t code = 0; code < KEY_CNT; ++code) {
    if (found->second.test(code)) --holderCount_[code];
  }
  heldByKeyboard_.erase(found);
  if (modifierFlags() == flagsBefore) return std::nullopt;
  return flagsChanged();
}

ModifierFlags KeyTranslator::modifierFlags() const {
  ModifierFlags flags = 0;
  for (const auto& key : modifierKeys) {
    if (holderCount_[key.code] > 0) flags |= bitOf(key.code);
  }
  if (holderCount_[fnKeyCode_] > 0) flags |= functionKeyFlag;
  return flags;
}

// The real Fn key, when another plays its part.
bool KeyTranslator::isIgnored(std::uint16_t code) const {
  return code == KEY_FN && fnKeyCode_ != KEY_FN;
}

// A named right-hand modifier gives Fn's bit instead of its own.
ModifierFlags KeyTranslator::bitOf(std::uint16_t code) const {
  return code == fnKeyCode_ ? functionKeyFlag : modifierBit(code);
}

void KeyTranslator::setHeld(KeySet& keys, std::uint16_t code, bool held) {
  if (keys.test(code) == held) return;
  keys.set(code, held);
  if (held) {
    ++holderCount_[code];
  } else {
    --holderCount_[code];
  }
}

DesktopEvent KeyTranslator::flagsChanged() const {
  DesktopEvent event;
  event.type = flagsChangedMask;
  event.modifierFlags = modifierFlags();
  return event;
}

DesktopEvent KeyTranslator::keyEvent(EventMask type, std::uint16_t code) const {
  DesktopEvent event;
  event.type = type;
  event.modifierFlags = modifierFlags();
  event.keyCode = virtualKeyCode(code);
  if (code == KEY_SPACE) event.charactersIgnoringModifiers = " ";
  return event;
}

}  // namespace qen::platform::evdev
