#include "diagnosis/diagnosis.h"

#include <algorithm>
#include <string>

#include "shortcut/shortcut.h"
#include "shortcut/unicode_text.h"

namespace qen {
namespace {

using platform::FnKey;
using platform::GlobeKeyAction;
using platform::InputDevice;
using platform::LinuxDesktopFacts;
using platform::MacDesktopFacts;
using platform::ModifierFlags;
using platform::SystemShortcut;
using platform::SystemShortcutBinding;
using platform::WindowsDesktopFacts;
using platform::X11Facts;

struct Problem {
  std::string code;
  std::string message;
};

// Device names and the environment are bytes; the line must stay UTF-8.
EventValue text(const std::string& value) { return unicode::toValidUtf8(value); }

EventValue deviceEntry(const InputDevice& device) {
  EventObject entry{{"path", text(device.path)}, {"readable", device.readable}};
  if (!device.readable) return entry;
  entry.emplace_back("name", text(device.name));
  entry.emplace_back("keyboard", device.keyboard);
  entry.emplace_back("fn", device.reportsFn);
  return entry;
}

constexpr const char* nothingHappens = "When nothing happens";

// A problem's message ends by naming the README section that helps.
Problem problem(std::string code, std::string text, const char* section = nothingHappens) {
  return {std::move(code), text + " See \"" + section + "\" in the README."};
}

constexpr const char* keyboardsWithoutFn = "Keyboards without Fn";

// The key as its keycap names it, for the user.
std::string keyLabel(FnKey key) {
  switch (key) {
    case FnKey::fn:
      return "Fn";
    case FnKey::rightControl:
      return "Right Ctrl";
    case FnKey::rightOption:
      return "Right Alt";
    case FnKey::rightCommand:
      return "Right Meta";
    default:
      break;
  }
  auto name = std::string(fnKeyName(key));  // f13 to f20
  name[0] = 'F';
  return name;
}

Problem noFnKey(FnKey key) {
  if (key == FnKey::fn) {
    return problem("no-fn-key",
                   "None of the keyboards reports the Fn key: they handle it inside the keyboard, "
                   "where no program can see it. Apple keyboards, among others, do report it. "
                   "Otherwise --fn-key can name another key to play its part.",
                   keyboardsWithoutFn);
  }
  return problem("no-fn-key",
                 "None of the keyboards has the " + keyLabel(key) +
                     " key that --fn-key names. Plug in one that has it, or name another key.",
                 keyboardsWithoutFn);
}

std::string keysOfAKeyboard(FnKey key) {
  if (key == FnKey::fn) return "an Fn or a Space key";
  return "an Fn, a Space or a " + keyLabel(key) + " key";
}

std::vector<Problem> linuxProblems(const std::vector<InputDevice>& devices, FnKey key) {
  auto count = [&](auto test) { return std::count_if(devices.begin(), devices.end(), test); };
  if (devices.empty()) {
    return {problem("no-input-devices",
                    "There are no input devices under /dev/input, so there is no keyboard to "
                    "watch.")};
  }
  if (count([](const auto& d) { return d.readable && d.keyboard; }) == 0) {
    if (count([](const auto& d) { return !d.readable; }) > 0) {
      return {problem("no-readable-keyboard",
                      "This user may not read the keyboards under /dev/input. Give it read "
                      "access, then start the helper again.",
                      "Keyboard access on Linux")};
    }
    return {problem("no-readable-keyboard", "No keyboard is attached: no input device has " +
                                                keysOfAKeyboard(key) +
                                                ". Plug one in; the helper picks it up while it "
                                                "runs.")};
  }
  if (count([](const auto& d) { return d.readable && d.keyboard && d.reportsFn; }) == 0) {
    return {noFnKey(key)};
  }
  return {};
}

constexpr const char* keyboardAccess = "Keyboard access on Linux";

// Only when no keyboard node can be read does the helper look at X at all.
std::vector<Problem> x11Problems(const X11Facts& x11, FnKey key) {
  std::vector<Problem> problems;
  bool offersRawKeys = x11.connected && !x11.xwayland && x11.xinputVersion &&
                       *x11.xinputVersion >= platform::oldestUsableXInput;
  if (offersRawKeys && key == FnKey::fn) {
    problems.push_back(
        problem("x11-no-fn",
                "Fn never reaches the X server, which drops its key code, so the keys of this X11 "
                "session cannot make the shortcut. Name another key with --fn-key (rightctrl, for "
                "instance), or give this user read access to the keyboards (the input group), then "
                "start the helper again.",
                keyboardAccess));
  }
  if (x11.xwayland) {
    problems.push_back(problem(
        "xwayland-only",
        "This is a Wayland session: its X server, Xwayland, shows a program the keys only while "
        "an X window has the keyboard focus, so keys typed into Wayland windows would be "
        "missed, and the helper does not take them from it. Give this user read access to the "
        "keyboards (the input group), then start the helper again.",
        keyboardAccess));
  }
  return problems;
}

EventValue x11Entry(const X11Facts& x11) {
  EventValue version = nullptr;
  if (x11.xinputVersion) {
    version =
        std::to_string(x11.xinputVersion->first) + "." + std::to_string(x11.xinputVersion->second);
  }
  return EventObject{{"display", x11.display},
                     {"connected", x11.connected},
                     {"xinputVersion", version},
                     {"xwayland", x11.xwayland},
                     {"used", x11.used}};
}

const char* globeKeyActionName(GlobeKeyAction action) {
  switch (action) {
    case GlobeKeyAction::doNothing:
      return "doNothing";
    case GlobeKeyAction::changeInputSource:
      return "changeInputSource";
    case GlobeKeyAction::showEmojiAndSymbols:
      return "showEmojiAndSymbols";
    case GlobeKeyAction::startDictation:
      return "startDictation";
    case GlobeKeyAction::systemDefault:
      return "systemDefault";
    case GlobeKeyAction::unknown:
      break;
  }
  return "unknown";
}

// Public sources disagree on what the key does when no action was ever chosen.
std::string globeKeyEffect(GlobeKeyAction action) {
  switch (action) {
    case GlobeKeyAction::changeInputSource:
      return "also changes the input source";
    case GlobeKeyAction::showEmojiAndSymbols:
      return "also opens Emoji & Symbols";
    case GlobeKeyAction::startDictation:
      return "also starts dictation";
    case GlobeKeyAction::systemDefault:
      return "may also trigger a system action: none was ever chosen for it, and what macOS "
             "then does is not certain";
    default:
      return "also triggers a system action";
  }
}

bool isFunctionKey(FnKey key) { return key >= FnKey::f13; }

// A right-hand modifier in Fn's part, as a Mac's keycaps name it.
struct MacModifier {
  ModifierFlags flag;
  const char* key;
  const char* modifier;
};

std::optional<MacModifier> macModifierOf(FnKey key) {
  switch (key) {
    case FnKey::rightControl:
      return MacModifier{platform::controlKeyFlag, "Right Control", "Control"};
    case FnKey::rightOption:
      return MacModifier{platform::optionKeyFlag, "Right Option", "Option"};
    case FnKey::rightCommand:
      return MacModifier{platform::commandKeyFlag, "Right Command", "Command"};
    default:
      return std::nullopt;
  }
}

// Where the Keyboard settings list a system shortcut, and its name there.
struct ShortcutSetting {
  const char* section;
  const char* name;
};

ShortcutSetting settingOf(SystemShortcut shortcut) {
  switch (shortcut) {
    case SystemShortcut::selectPreviousInputSource:
      return {"Input Sources", "Select the previous input source"};
    case SystemShortcut::selectNextInputSource:
      return {"Input Sources", "Select next source in Input menu"};
    case SystemShortcut::showSpotlightSearch:
      break;
  }
  return {"Spotlight", "Show Spotlight search"};
}

// Bound to the modifier and Space alone, as it is now: a shortcut that the
// user moved to other keys takes this one no more, and one moved here does.
bool takesModifierWithSpace(const SystemShortcutBinding& binding, ModifierFlags modifier) {
  constexpr ModifierFlags chordBits = platform::shiftKeyFlag | platform::controlKeyFlag |
                                      platform::optionKeyFlag | platform::commandKeyFlag |
                                      platform::functionKeyFlag;
  return binding.enabled && binding.keyCode == platform::spaceKeyCode &&
         (binding.modifiers & chordBits) == modifier;
}

std::vector<Problem> systemShortcutProblems(const MacDesktopFacts& facts, FnKey key) {
  std::vector<Problem> problems;
  auto modifier = macModifierOf(key);
  if (!modifier) return problems;
  for (const auto& binding : facts.systemShortcuts) {
    if (!takesModifierWithSpace(binding, modifier->flag)) continue;
    auto setting = settingOf(binding.shortcut);
    problems.push_back(problem(
        "system-shortcut",
        std::string("With fn+space, ") + modifier->key + " and Space make " + modifier->modifier +
            "+Space, the system shortcut \"" + setting.name +
            "\": macOS takes it before the helper sees it, so the toggle may not come. Turn it "
            "off in the Keyboard settings (Keyboard Shortcuts > " +
            setting.section + "), or name another key with --fn-key.",
        keyboardsWithoutFn));
  }
  return problems;
}

// An F-key's presses are key-downs and key-ups, which Fn's flag changes are
// not: what hides those hides it too.
std::string alsoTheFunctionKey(FnKey key) {
  if (!isFunctionKey(key)) return "";
  return " and " + keyLabel(key) + " (the key that --fn-key names)";
}

std::vector<Problem> macProblems(bool trusted, const MacDesktopFacts& facts, FnKey key) {
  std::vector<Problem> problems;
  if (!trusted) {
    std::string hidden;
    if (isFunctionKey(key)) {
      hidden = ": no press of " + keyLabel(key) +
               " (the key that --fn-key names) in another app reaches it";
    }
    problems.push_back(problem("not-trusted",
                               "The app may not watch the keyboard" + hidden +
                                   ". Allow it under System Settings > Privacy & Security > "
                                   "Accessibility, then start it again.",
                               "macOS"));
  }
  // Another key in Fn's part leaves the globe key to its own action.
  if (key == FnKey::fn && facts.globeKeyAction != GlobeKeyAction::doNothing) {
    problems.push_back(problem(
        "globe-key-has-action",
        "Pressing Fn (globe) alone " + globeKeyEffect(facts.globeKeyAction) +
            ". In the Keyboard settings, set \"Press fn key to\" (or \"Press \U0001F310 key "
            "to\") to \"Do Nothing\", or use the fn+space shortcut."));
  }
  auto taken = systemShortcutProblems(facts, key);
  problems.insert(problems.end(), taken.begin(), taken.end());
  if (facts.secureEventInput) {
    problems.push_back(problem(
        "secure-event-input",
        "Secure event input is on: macOS hides key presses, so Fn+Space" + alsoTheFunctionKey(key) +
            ", from other apps. A password field turns it on while it has the keyboard focus, "
            "but some apps (terminals, password managers) leave it on by mistake. \"ioreg -l -w "
            "0 | grep SecureInput\" shows the ID of the process that holds it "
            "(kCGSSessionSecureInputPID), and \"ps -p ID\" its "
            "name: quit that app."));
  }
  return problems;
}

EventValue problemList(const std::vector<Problem>& problems) {
  EventList list;
  for (const auto& problem : problems) {
    list.push_back(EventObject{{"code", problem.code}, {"message", problem.message}});
  }
  return list;
}

EventPayload common(const char* platform, bool trusted, std::optional<FnKey> fnKey) {
  EventPayload payload{{"type", std::string("diagnosis")},
                       {"version", std::string(QEN_VERSION)},
                       {"platform", std::string(platform)},
                       {"accessibilityTrusted", trusted}};
  if (fnKey) payload.emplace_back("fnKey", std::string(fnKeyName(*fnKey)));
  return payload;
}

EventPayload linuxDiagnosis(bool trusted, const LinuxDesktopFacts& facts,
                            std::optional<FnKey> fnKey) {
  auto payload = common("linux", trusted, fnKey);
  EventList devices;
  for (const auto& device : facts.devices) devices.push_back(deviceEntry(device));
  payload.emplace_back("devices", std::move(devices));
  payload.emplace_back("sessionType",
                       facts.sessionType ? text(*facts.sessionType) : EventValue(nullptr));
  auto key = fnKey.value_or(FnKey::fn);
  std::vector<Problem> problems;
  // Keys from X stand in for the keyboard nodes that cannot be read.
  if (!facts.x11 || !facts.x11->used) problems = linuxProblems(facts.devices, key);
  if (facts.x11) {
    payload.emplace_back("x11", x11Entry(*facts.x11));
    for (auto& found : x11Problems(*facts.x11, key)) problems.push_back(std::move(found));
  }
  payload.emplace_back("problems", problemList(problems));
  return payload;
}

EventPayload macDiagnosis(bool trusted, const MacDesktopFacts& facts, std::optional<FnKey> fnKey) {
  auto payload = common("macos", trusted, fnKey);
  payload.emplace_back("globeKeyAction", std::string(globeKeyActionName(facts.globeKeyAction)));
  payload.emplace_back("secureEventInput", facts.secureEventInput);
  payload.emplace_back("problems",
                       problemList(macProblems(trusted, facts, fnKey.value_or(FnKey::fn))));
  return payload;
}

constexpr const char* windowsSection = "Windows";

std::vector<Problem> windowsProblems(bool trusted, const WindowsDesktopFacts& facts, FnKey key) {
  std::vector<Problem> problems;
  if (!trusted) {
    problems.push_back(problem("no-keyboard-hook",
                               "Windows refused the helper's keyboard hook, so it sees no key. "
                               "It must run in the user's own session, on the desktop where they "
                               "type (not as a service).",
                               windowsSection));
  }
  if (key == FnKey::fn) {
    problems.push_back(problem("no-fn-key",
                               "Windows never receives the Fn key: keyboards handle it inside the "
                               "keyboard. Name another key to play its part with --fn-key: "
                               "rightctrl, rightalt, rightmeta, or f13 to f20.",
                               windowsSection));
  }
  if (key == FnKey::rightOption && facts.altGr) {
    problems.push_back(problem("altgr-fn-key",
                               "This keyboard layout uses Right Alt as AltGr: holding it types "
                               "characters in the focused app, and Windows adds a Left Ctrl to "
                               "it. Name another key with --fn-key, such as rightctrl or f13.",
                               windowsSection));
  }
  return problems;
}

EventPayload windowsDiagnosis(bool trusted, const WindowsDesktopFacts& facts,
                              std::optional<FnKey> fnKey) {
  auto payload = common("windows", trusted, fnKey);
  payload.emplace_back("keyboardLayout", text(facts.keyboardLayout));
  payload.emplace_back("altGr", facts.altGr);
  payload.emplace_back("elevated", facts.elevated);
  payload.emplace_back("problems",
                       problemList(windowsProblems(trusted, facts, fnKey.value_or(FnKey::fn))));
  return payload;
}

}  // namespace

EventPayload diagnosis(bool trusted, const platform::DesktopFacts& facts,
                       std::optional<FnKey> fnKey) {
  if (const auto* onLinux = std::get_if<LinuxDesktopFacts>(&facts)) {
    return linuxDiagnosis(trusted, *onLinux, fnKey);
  }
  if (const auto* onWindows = std::get_if<WindowsDesktopFacts>(&facts)) {
    return windowsDiagnosis(trusted, *onWindows, fnKey);
  }
  return macDiagnosis(trusted, std::get<MacDesktopFacts>(facts), fnKey);
}

}  // namespace qen
