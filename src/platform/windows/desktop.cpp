// The desktop on Windows: a low-level keyboard hook (WH_KEYBOARD_LL) on a
// thread of its own, which hands each event to the main thread's message
// loop; there a message-only window takes them, with raw input, which tells
// when Windows has taken the hook away, and a WinEvent hook, which tells when
// the input moves to another desktop. The loop ends when the host is gone or
// standard output fails; idle, nothing wakes it.
#include <windows.h>

#include <atomic>

#include "platform/common/monitor_list.h"
#include "platform/platform.h"
#include "platform/windows/key_translation.h"
#include "platform/windows/process.h"

namespace qen::platform {
namespace {

using windows::HookKey;

// The hook thread's events, to the window: wParam packs the event, lParam is
// its time. The helper is 64-bit only, so wParam holds all of it.
constexpr UINT hookKeyMessage = WM_APP + 1;
// To the hook thread.
constexpr UINT reinstallMessage = WM_APP + 2;
constexpr UINT unhookMessage = WM_APP + 3;
// From the thread that waits for the host to end.
constexpr UINT hostGoneMessage = WM_APP + 4;

static_assert(sizeof(WPARAM) == 8);

WPARAM pack(const HookKey& key, std::uint32_t keysReportedUp) {
  return static_cast<WPARAM>(key.virtualKey) | static_cast<WPARAM>(key.scanCode) << 8 |
         static_cast<WPARAM>(key.extended) << 24 | static_cast<WPARAM>(key.up) << 25 |
         static_cast<WPARAM>(keysReportedUp) << 32;
}

HookKey unpack(WPARAM packed, LPARAM time) {
  return HookKey{.virtualKey = static_cast<std::uint8_t>(packed & 0xFF),
                 .scanCode = static_cast<std::uint16_t>((packed >> 8) & 0xFFFF),
                 .extended = ((packed >> 24) & 1) != 0,
                 .up = ((packed >> 25) & 1) != 0,
                 .time = static_cast<std::uint32_t>(time)};
}

// What the hook callback touches, which runs on the hook thread: it only
// reads, asks Windows about held keys and posts, so that it never keeps
// Windows waiting (a slow hook is removed without notice).
HWND eventWindow = nullptr;
windows::KeyStateWatch keyStateWatch;  // hook thread only

bool isDownNow(std::uint8_t virtualKey) { return (GetAsyncKeyState(virtualKey) & 0x8000) != 0; }

LRESULT CALLBACK onHookKey(int code, WPARAM message, LPARAM data) {
  if (code == HC_ACTION) {
    const auto* info = reinterpret_cast<const KBDLLHOOKSTRUCT*>(data);
    bool extended = (info->flags & LLKHF_EXTENDED) != 0;
    auto scanCode = static_cast<std::uint16_t>(info->scanCode);
    HookKey key{.virtualKey = windows::sidedVirtualKey(static_cast<std::uint8_t>(info->vkCode),
                                                       scanCode, extended),
                .scanCode = scanCode,
                .extended = extended,
                .up = (info->flags & LLKHF_UP) != 0,
                .time = info->time};
    auto keysReportedUp = keyStateWatch.keysReportedUp(key, isDownNow);
    PostMessageW(eventWindow, hookKeyMessage, pack(key, keysReportedUp),
                 static_cast<LPARAM>(info->time));
  }
  return CallNextHookEx(nullptr, code, message, data);
}

class Desktop {
 public:
  Desktop() : translator_([this](const DesktopEvent& event) { dispatch(event); }) {}

  windows::KeyTranslator& translator() { return translator_; }

  // The window, raw input, the WinEvent hook and the hook thread, once;
  // returns whether the hook is installed.
  bool start() {
    if (!started_) {
      started_ = true;
      createWindow();
      startHookThread();
    }
    return hook_.load() != nullptr;
  }

  MonitorHandle add(EventMask mask, GlobalHandler handler) {
    return monitors_.add(mask, std::move(handler));
  }

  // Registrations are only added during start-up, before the stop can run;
  // afterwards removal touches atomics only. The hook goes with the last
  // monitor, from whichever thread removes it.
  void remove(MonitorHandle handle) {
    if (!monitors_.remove(handle)) unhook();
  }

  // One GetMessage per event, the least a message loop costs: the host's end
  // comes as a message too, from a thread that does nothing but wait for it.
  void run() {
    if (windows::hostAlreadyGone() || windows::standardOutputFailed()) return;
    start();
    if (HANDLE host = windows::hostProcess()) {
      HANDLE thread = CreateThread(nullptr, 64 * 1024, waitForHost, host,
                                   STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
      if (thread != nullptr) CloseHandle(thread);
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      DispatchMessageW(&message);
      if (windows::standardOutputFailed()) return;
    }
  }

 private:
  static LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static void CALLBACK onDesktopSwitch(HWINEVENTHOOK, DWORD, HWND, LONG, LONG, DWORD, DWORD);
  static DWORD WINAPI hookThread(void* desktop);

  static DWORD WINAPI waitForHost(void* host) {
    WaitForSingleObject(static_cast<HANDLE>(host), INFINITE);
    PostMessageW(eventWindow, hostGoneMessage, 0, 0);
    return 0;
  }

  void createWindow() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"QenHotkeyHelper";
    RegisterClassExW(&windowClass);
    eventWindow = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, windowClass.hInstance, nullptr);
    RAWINPUTDEVICE keyboards{.usUsagePage = 0x01,  // generic desktop
                             .usUsage = 0x06,      // keyboard
                             .dwFlags = RIDEV_INPUTSINK,
                             .hwndTarget = eventWindow};
    RegisterRawInputDevices(&keyboards, 1, sizeof keyboards);
    SetWinEventHook(EVENT_SYSTEM_DESKTOPSWITCH, EVENT_SYSTEM_DESKTOPSWITCH, nullptr,
                    onDesktopSwitch, 0, 0, WINEVENT_OUTOFCONTEXT);
  }

  void startHookThread() {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    hookReady_ = ready;
    HANDLE thread = CreateThread(nullptr, 64 * 1024, hookThread, this,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, &hookThreadId_);
    if (thread == nullptr) return;
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(thread);
    CloseHandle(ready);
  }

  // Hook thread.
  void install() {
    HHOOK hook = SetWindowsHookExW(WH_KEYBOARD_LL, onHookKey, GetModuleHandleW(nullptr), 0);
    if (stopped_.load()) {
      if (hook != nullptr) UnhookWindowsHookEx(hook);
      return;
    }
    hook_.store(hook);
  }

  void reinstall() {
    if (HHOOK old = hook_.exchange(nullptr)) UnhookWindowsHookEx(old);
    install();
  }

  void unhook() {
    stopped_.store(true);
    if (HHOOK hook = hook_.exchange(nullptr)) UnhookWindowsHookEx(hook);
    PostThreadMessageW(hookThreadId_, unhookMessage, 0, 0);
  }

  void onHookEvent(WPARAM packed, LPARAM time) {
    auto key = unpack(packed, time);
    if (watch_.hookSaw(key)) translator_.translate(key, static_cast<std::uint32_t>(packed >> 32));
  }

  void onRawInput(HRAWINPUT input) {
    RAWINPUT raw{};
    UINT size = sizeof raw;
    if (GetRawInputData(input, RID_INPUT, &raw, &size, sizeof(RAWINPUTHEADER)) == UINT(-1) ||
        raw.header.dwType != RIM_TYPEKEYBOARD) {
      return;
    }
    const auto& keyboard = raw.data.keyboard;
    auto key = windows::rawInputKey(keyboard.VKey, keyboard.MakeCode, keyboard.Flags,
                                    static_cast<std::uint32_t>(GetMessageTime()));
    if (!key) return;
    auto verdict = watch_.rawInputSaw(*key);
    if (verdict.reinstall) PostThreadMessageW(hookThreadId_, reinstallMessage, 0, 0);
    for (const auto& missed : verdict.missed) translator_.translate(missed);
  }

  void dispatch(const DesktopEvent& event) { monitors_.dispatch(event); }

  windows::KeyTranslator translator_;
  windows::HookWatch watch_;
  MonitorList monitors_;
  bool started_ = false;
  HANDLE hookReady_ = nullptr;
  DWORD hookThreadId_ = 0;
  std::atomic<HHOOK> hook_{nullptr};
  std::atomic<bool> stopped_{false};
};

// Never destroyed: the stop may still remove monitors while the process exits.
Desktop& desktop() {
  static Desktop* instance = new Desktop();
  return *instance;
}

LRESULT CALLBACK Desktop::windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == hookKeyMessage) {
    desktop().onHookEvent(wParam, lParam);
    return 0;
  }
  if (message == hostGoneMessage) {
    PostQuitMessage(0);
    return 0;
  }
  if (message == WM_INPUT) desktop().onRawInput(reinterpret_cast<HRAWINPUT>(lParam));
  return DefWindowProcW(window, message, wParam, lParam);
}

void CALLBACK Desktop::onDesktopSwitch(HWINEVENTHOOK, DWORD, HWND, LONG, LONG, DWORD, DWORD) {
  desktop().translator().releaseAll();
}

// Does nothing but serve the hook: Windows calls it from this thread's
// message loop. Above normal priority, so that a busy machine keeps it quick.
DWORD WINAPI Desktop::hookThread(void* instance) {
  auto& self = *static_cast<Desktop*>(instance);
  MSG message;
  PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // makes the queue
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
  self.install();
  SetEvent(self.hookReady_);
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == reinstallMessage && !self.stopped_.load()) self.reinstall();
    if (message.message == unhookMessage) break;
  }
  return 0;
}

}  // namespace

std::optional<MonitorHandle> addGlobalMonitor(EventMask mask, GlobalHandler handler) {
  desktop().start();
  if (mask & keyUpMask) desktop().translator().reportKeyUps();
  return desktop().add(mask, std::move(handler));
}

// The helper has no window that could have the keyboard focus: a local
// monitor registers, but no event is ever sent to this process.
std::optional<MonitorHandle> addLocalMonitor(EventMask mask, LocalHandler) {
  return desktop().add(mask, nullptr);
}

void removeMonitor(MonitorHandle handle) { desktop().remove(handle); }

void setFnKey(FnKey key) { desktop().translator().setFnKey(key); }

// The hook stands in for the desktop's permission to watch other
// applications' keys: Windows asks for none, so the prompt flag asks nothing.
bool isProcessTrusted(const TrustQueryOptions&) { return desktop().start(); }

// Windows may throttle a background process on a slow core (EcoQoS); a key
// must not wait for that. SetProcessInformation is Windows 8's, and its
// power throttling Windows 10's.
void becomeAccessoryApplication() {
  using SetInformation = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
  auto setInformation = reinterpret_cast<SetInformation>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetProcessInformation")));
  if (setInformation == nullptr) return;
  PROCESS_POWER_THROTTLING_STATE state{.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION,
                                       .ControlMask = PROCESS_POWER_THROTTLING_EXECUTION_SPEED,
                                       .StateMask = 0};
  setInformation(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);
}

void runMainLoop() { desktop().run(); }

}  // namespace qen::platform
