// What --diagnose reads on macOS: what the globe key does besides, and
// whether a secure text field hides key presses from every other app.
#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>

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

}  // namespace

DesktopFacts gatherDesktopFacts() {
  return MacDesktopFacts{.globeKeyAction = globeKeyAction(),
                         .secureEventInput = IsSecureEventInputEnabled() != 0};
}

}  // namespace qen::platform
