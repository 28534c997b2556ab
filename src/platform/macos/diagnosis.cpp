// What --diagnose reads on macOS: what the globe key does besides, whether a
// secure text field hides key presses from every other app, and the system
// shortcuts that take a modifier with Space.
#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>

#include <optional>
#include <vector>

#include "platform/platform.h"

namespace qen::platform {
namespace {

// System Settings > Keyboard > "Press fn key to", as the preference numbers it.
GlobeKeyAction globeKeyActionFor(int setting) {
  switch (setting) {
    case 0:
      return GlobeKeyAction::doNothing;
    case 1:
      return GlobeKeyAction::changeInputSource;
    case 2:
      return GlobeKeyAction::showEmojiAndSymbols;
    case 3:
      return GlobeKeyAction::startDictation;
    default:
      return GlobeKeyAction::unknown;
  }
}

GlobeKeyAction globeKeyAction() {
  CFPropertyListRef value =
      CFPreferencesCopyAppValue(CFSTR("AppleFnUsageType"), CFSTR("com.apple.HIToolbox"));
  if (value == nullptr) return GlobeKeyAction::systemDefault;
  int setting = -1;
  bool isNumber = CFGetTypeID(value) == CFNumberGetTypeID() &&
                  CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, &setting);
  CFRelease(value);
  return isNumber ? globeKeyActionFor(setting) : GlobeKeyAction::unknown;
}

// The symbolic hot keys as macOS writes them (`defaults read
// com.apple.symbolichotkeys AppleSymbolicHotKeys` shows them), keyed by their
// number as text: {enabled = 1; value = {parameters = (32, 49, 1048576);
// type = standard;};}, the parameters being the character (65535 for none),
// the virtual key code and AppKit's device-independent modifier bits. A
// shortcut without an entry has macOS's own binding, enabled; one whose entry
// gives no binding that can be read is taken to have it too.
struct SymbolicHotKey {
  SystemShortcut shortcut;
  CFStringRef number;
  ModifierFlags defaultModifiers;  // with Space, as Apple's keyboard shortcut lists give them
};

const SymbolicHotKey symbolicHotKeys[] = {
    {SystemShortcut::selectPreviousInputSource, CFSTR("60"), controlKeyFlag},
    {SystemShortcut::selectNextInputSource, CFSTR("61"), controlKeyFlag | optionKeyFlag},
    {SystemShortcut::showSpotlightSearch, CFSTR("64"), commandKeyFlag},
};

template <typename Ref>
Ref valueOfType(CFTypeRef value, CFTypeID type) {
  return value != nullptr && CFGetTypeID(value) == type ? static_cast<Ref>(value) : nullptr;
}

std::optional<long long> number(CFTypeRef value) {
  long long result = 0;
  auto numberValue = valueOfType<CFNumberRef>(value, CFNumberGetTypeID());
  if (numberValue == nullptr || !CFNumberGetValue(numberValue, kCFNumberLongLongType, &result)) {
    return std::nullopt;
  }
  return result;
}

// A Boolean, or a number as `defaults write -int` leaves it; anything else
// leaves the shortcut enabled, as macOS's default is.
bool isEnabled(CFDictionaryRef entry) {
  CFTypeRef value = CFDictionaryGetValue(entry, CFSTR("enabled"));
  if (auto flag = valueOfType<CFBooleanRef>(value, CFBooleanGetTypeID())) {
    return CFBooleanGetValue(flag);
  }
  auto setting = number(value);
  return !setting || *setting != 0;
}

void readBinding(CFDictionaryRef entry, SystemShortcutBinding& binding) {
  auto value = valueOfType<CFDictionaryRef>(CFDictionaryGetValue(entry, CFSTR("value")),
                                            CFDictionaryGetTypeID());
  if (value == nullptr) return;
  auto parameters =
      valueOfType<CFArrayRef>(CFDictionaryGetValue(value, CFSTR("parameters")), CFArrayGetTypeID());
  if (parameters == nullptr || CFArrayGetCount(parameters) != 3) return;
  auto keyCode = number(CFArrayGetValueAtIndex(parameters, 1));
  auto modifiers = number(CFArrayGetValueAtIndex(parameters, 2));
  if (!keyCode || !modifiers || *keyCode < 0 || *keyCode > 0xFFFF || *modifiers < 0) return;
  binding.keyCode = static_cast<std::uint16_t>(*keyCode);
  binding.modifiers = static_cast<ModifierFlags>(*modifiers);
}

std::vector<SystemShortcutBinding> systemShortcuts() {
  CFPropertyListRef all =
      CFPreferencesCopyAppValue(CFSTR("AppleSymbolicHotKeys"), CFSTR("com.apple.symbolichotkeys"));
  auto entries = valueOfType<CFDictionaryRef>(all, CFDictionaryGetTypeID());
  std::vector<SystemShortcutBinding> bindings;
  for (const auto& hotKey : symbolicHotKeys) {
    SystemShortcutBinding binding{.shortcut = hotKey.shortcut,
                                  .modifiers = hotKey.defaultModifiers};
    auto entry = entries == nullptr
                     ? nullptr
                     : valueOfType<CFDictionaryRef>(CFDictionaryGetValue(entries, hotKey.number),
                                                    CFDictionaryGetTypeID());
    if (entry != nullptr) {
      binding.enabled = isEnabled(entry);
      readBinding(entry, binding);
    }
    bindings.push_back(binding);
  }
  if (all != nullptr) CFRelease(all);
  return bindings;
}

}  // namespace

DesktopFacts gatherDesktopFacts() {
  return MacDesktopFacts{.globeKeyAction = globeKeyAction(),
                         .secureEventInput = IsSecureEventInputEnabled() != 0,
                         .systemShortcuts = systemShortcuts()};
}

}  // namespace qen::platform
