// What the helper needs of the desktop it runs on. The core calls only these
// functions; each backend under src/platform/<name>/ defines them, and the
// tests link a fake in their place.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace qen::platform {

// Modifier bits in the desktop's own layout (AppKit's NSEventModifierFlags).
using ModifierFlags = std::uint64_t;
inline constexpr ModifierFlags capsLockKeyFlag = 1ULL << 16;
inline constexpr ModifierFlags shiftKeyFlag = 1ULL << 17;
inline constexpr ModifierFlags controlKeyFlag = 1ULL << 18;
inline constexpr ModifierFlags optionKeyFlag = 1ULL << 19;    // Alt
inline constexpr ModifierFlags commandKeyFlag = 1ULL << 20;   // Meta
inline constexpr ModifierFlags functionKeyFlag = 1ULL << 23;  // 0x800000, Fn (globe)

// The desktop's virtual key code of the Space bar.
inline constexpr std::uint16_t spaceKeyCode = 49;

// Event masks are AppKit's: one bit per event type.
using EventMask = std::uint64_t;
inline constexpr unsigned keyDownEventType = 10;
inline constexpr unsigned keyUpEventType = 11;
inline constexpr unsigned flagsChangedEventType = 12;
inline constexpr EventMask keyDownMask = 1ULL << keyDownEventType;            // 1024
inline constexpr EventMask keyUpMask = 1ULL << keyUpEventType;                // 2048
inline constexpr EventMask flagsChangedMask = 1ULL << flagsChangedEventType;  // 4096

// The key that plays Fn's part: Fn itself, or one the host names for
// keyboards whose Fn never reaches the desktop.
enum class FnKey {
  fn,
  rightControl,
  rightOption,   // Alt
  rightCommand,  // Meta
  f13,
  f14,
  f15,
  f16,
  f17,
  f18,
  f19,
  f20,
};

// One keyboard event as the desktop reports it.
struct DesktopEvent {
  EventMask type = flagsChangedMask;
  ModifierFlags modifierFlags = 0;
  std::uint16_t keyCode = 0;  // read for key-down and key-up events only
  std::optional<std::string> charactersIgnoringModifiers;
};

// Opaque token for a registered monitor.
struct MonitorHandle {
  std::uint64_t id = 0;
  friend bool operator==(MonitorHandle, MonitorHandle) = default;
};

// Global monitors see events meant for other applications; local monitors see
// the events sent to this process and return the event to dispatch (nullptr
// discards it).
using GlobalHandler = std::function<void(const DesktopEvent&)>;
using LocalHandler = std::function<const DesktopEvent*(const DesktopEvent&)>;

// The argument vector as UTF-8, where the desktop keeps it as text (the
// UTF-16 command line of Windows, whose unpaired surrogates become U+FFFD);
// nothing where it hands over bytes, which the core decodes itself.
std::optional<std::vector<std::string>> argumentText();

// First thing in main, before anything is opened or written: ends the process
// at once with status 0 when standard output is not open, keeps a reader that
// went away from killing the process by SIGPIPE, and starts watching the host
// that started us, so that the main loop returns once it is gone.
void prepareProcess();

// From now on key plays Fn's part: functionKeyFlag in modifierFlags reports
// whether it is held, its presses and auto-repeats are no key events of their
// own, and the real Fn key (when key is another) is no key at all. A named
// right-hand modifier no longer sets its modifier's bit; its left twin still
// does. Main thread, once, before anything else asks the desktop: the trust
// answer, the facts and the keyboards watched all follow key.
void setFnKey(FnKey key);

// Main thread only. Handlers are called on the main thread, from inside
// runMainLoop(), one at a time.
std::optional<MonitorHandle> addGlobalMonitor(EventMask mask, GlobalHandler handler);
std::optional<MonitorHandle> addLocalMonitor(EventMask mask, LocalHandler handler);

// Safe from any thread, also while the main thread is inside a handler; that
// handler may finish, but no handler of this monitor starts afterwards. Acts
// once per handle: a second call does nothing. It may wait for the main
// thread, but briefly: however that thread is occupied, removing every
// monitor returns well within a second.
void removeMonitor(MonitorHandle handle);

// Whether this process may observe keyboard input meant for other
// applications. With prompt set, the desktop may also ask the user for it;
// the call never waits for an answer.
struct TrustQueryOptions {
  bool prompt = false;
};
bool isProcessTrusted(const TrustQueryOptions& options);

// What stands between the user and a toggle, as facts without judgement; read
// for --diagnose only, as the helper otherwise reads no file, environment
// variable or preference but what Linux's X11 source needs to connect.
struct InputDevice {
  std::string path;
  bool readable = false;
  // Known only when readable:
  std::string name;
  bool keyboard = false;   // the helper would open it as a keyboard
  bool reportsFn = false;  // it declares the key that plays Fn's part
};

// The X server that DISPLAY names, as the helper found it when no keyboard
// node could be read, the only time it looks.
struct X11Facts {
  bool display = false;    // DISPLAY is set
  bool connected = false;  // a display of this machine answered in time; none
                           // is tried for another machine's, or under Wayland
  std::optional<std::pair<std::uint16_t, std::uint16_t>> xinputVersion;  // as agreed
  bool xwayland = false;  // the server is Xwayland, or the session Wayland
  bool used = false;      // its keys would reach the helper
};

// The oldest X Input whose raw key events the X11 source takes: from 2.1 on,
// they keep coming while another client grabs the keyboard.
inline constexpr std::pair<std::uint16_t, std::uint16_t> oldestUsableXInput{2, 1};

struct LinuxDesktopFacts {
  std::vector<InputDevice> devices;        // every event node, in the order the helper opens them
  std::optional<std::string> sessionType;  // XDG_SESSION_TYPE
  std::optional<X11Facts> x11;             // only when no keyboard node can be read
};

// What pressing the globe key alone does besides (AppleFnUsageType).
enum class GlobeKeyAction {
  doNothing,
  changeInputSource,
  showEmojiAndSymbols,
  startDictation,
  systemDefault,  // never chosen
  unknown,
};

// A system shortcut that macOS takes before any monitor sees it, by its
// number among the symbolic hot keys (com.apple.symbolichotkeys).
enum class SystemShortcut {
  selectPreviousInputSource = 60,
  selectNextInputSource = 61,
  showSpotlightSearch = 64,
};

// How one is bound now: macOS's own binding, enabled, where the user never
// changed it.
struct SystemShortcutBinding {
  SystemShortcut shortcut = SystemShortcut::showSpotlightSearch;
  bool enabled = true;
  std::uint16_t keyCode = spaceKeyCode;  // the desktop's virtual key code
  ModifierFlags modifiers = 0;           // device-independent bits
};

struct MacDesktopFacts {
  GlobeKeyAction globeKeyAction = GlobeKeyAction::systemDefault;
  bool secureEventInput = false;  // a secure text field hides key-downs
  // Each of the system shortcuts above, as bound now.
  std::vector<SystemShortcutBinding> systemShortcuts;
};

// Windows never receives Fn, so these are the blind spots of another key in
// its part.
struct WindowsDesktopFacts {
  std::string keyboardLayout;  // the foreground window's input locale (HKL), 8 hex digits
  bool altGr = false;          // that layout types characters with Right Alt (AltGr)
  bool elevated = false;       // run as administrator, so its keys are seen too (UIPI)
};

using DesktopFacts = std::variant<LinuxDesktopFacts, MacDesktopFacts, WindowsDesktopFacts>;

DesktopFacts gatherDesktopFacts();

// No window, no dock icon, no menu bar; and not slowed down for being in the
// background (App Nap on macOS).
void becomeAccessoryApplication();

// Runs the main thread's event loop; returns only when the host is gone (it
// exited, or it no longer reads standard output) or a write to standard
// output has failed, at once when that happened before the call.
void runMainLoop();

enum class Signal { terminate, interrupt };

// From now on the signal no longer ends the process by its default action.
void ignoreSignal(Signal signal);

// Runs handler on a thread of its own, never the main thread, once for each
// arrival of one of the signals (arrivals while a run is pending may merge).
// Windows has none: its console's Ctrl+C is interrupt, Ctrl+Break and the
// console's closing are terminate, and so is the end of standard input when
// it is a pipe (hosts without a console stop the helper that way).
void watchSignals(std::string_view queueLabel, std::initializer_list<Signal> signals,
                  std::function<void()> handler);

[[noreturn]] void exitProcess(int status);

// Hands all bytes to standard output before returning, unbuffered, as one
// write request wherever the descriptor allows it. Main thread only. A write
// that fails for good ends the main loop, and nothing is written after it.
void writeStandardOutput(std::string_view bytes);

}  // namespace qen::platform
