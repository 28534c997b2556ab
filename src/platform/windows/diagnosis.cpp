// What --diagnose reads on Windows: the keyboard layout the user types with
// and whether it has AltGr, and whether the helper runs as administrator.
#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

namespace qen::platform {
namespace {

// The foreground window's thread types with the layout that matters; with
// none in front, the helper's own.
HKL activeKeyboardLayout() {
  HWND foreground = GetForegroundWindow();
  DWORD thread = foreground != nullptr ? GetWindowThreadProcessId(foreground, nullptr) : 0;
  return GetKeyboardLayout(thread);
}

std::string hexadecimal(HKL layout) {
  char text[9];
  std::snprintf(text, sizeof text, "%08lX",
                static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(layout) & 0xFFFFFFFF));
  return text;
}

// Whether some key types a character with Ctrl+Alt, which is AltGr: layouts
// without it type nothing there. Flag 4 leaves the keyboard state (a dead
// key pending) untouched, on Windows 10 1607 and later.
bool typesWithAltGr(HKL layout) {
  BYTE state[256] = {};
  state[VK_CONTROL] = state[VK_LCONTROL] = state[VK_MENU] = state[VK_RMENU] = 0x80;
  constexpr UINT keepKeyboardState = 4;
  for (UINT key = 0x30; key <= 0xE2; ++key) {
    bool typing = (key <= '9') || (key >= 'A' && key <= 'Z') ||
                  (key >= VK_OEM_1 && key <= VK_OEM_3) || (key >= VK_OEM_4 && key <= VK_OEM_8) ||
                  key == VK_OEM_102;
    if (!typing) continue;
    UINT scanCode = MapVirtualKeyExW(key, MAPVK_VK_TO_VSC, layout);
    wchar_t typed[8];
    int count = ToUnicodeEx(key, scanCode, state, typed, 8, keepKeyboardState, layout);
    // Control characters are Ctrl's doing, not a character of the layout's.
    if (count > 0 && typed[0] >= 0x20) return true;
  }
  return false;
}

bool runsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                  elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}

}  // namespace

DesktopFacts gatherDesktopFacts() {
  HKL layout = activeKeyboardLayout();
  return WindowsDesktopFacts{.keyboardLayout = hexadecimal(layout),
                             .altGr = typesWithAltGr(layout),
                             .elevated = runsElevated()};
}

}  // namespace qen::platform
