#include "app/startup.h"

#include "app/arguments.h"
#include "app/signal_shutdown.h"
#include "diagnosis/diagnosis.h"
#include "hotkey/hotkey_monitor.h"
#include "output/event_line.h"
#include "platform/platform.h"
#include "shortcut/shortcut.h"

namespace qen {
namespace {

constexpr const char* permissionMessage =
    "Accessibility permission is required for global Fn shortcuts.";

void emitReady(const HelperOptions& options, bool trusted) {
  EventPayload ready{{"type", std::string("ready")},
                     {"shortcut", options.shortcut->rawValue},
                     {"accessibilityTrusted", trusted}};
  // Only a host that named a key hears of it again.
  if (options.fnKey) ready.emplace_back("fnKey", std::string(fnKeyName(*options.fnKey)));
  emit(ready);
}

void emitPermissionMissing() {
  emit({{"type", std::string("permission")},
        {"kind", std::string("accessibility")},
        {"status", std::string("missing")},
        {"message", std::string(permissionMessage)}});
}

void emitDiagnosis(const HelperOptions& options) {
  bool trusted = requestAccessibility(false);
  emit(diagnosis(trusted, platform::gatherDesktopFacts(), options.fnKey));
}

}  // namespace

bool requestAccessibility(bool prompt) {
  return platform::isProcessTrusted(platform::TrustQueryOptions{.prompt = prompt});
}

int runHelper(const std::vector<std::string>& arguments) {
  HelperOptions options;
  try {
    options = parseOptions(arguments);
  } catch (const HelperError& error) {
    emitError(error.errorDescription());
    return 1;
  }
  if (options.fnKey) platform::setFnKey(*options.fnKey);
  if (options.diagnose) {
    emitDiagnosis(options);
    return 0;
  }
  bool trusted = requestAccessibility(options.promptAccessibility);
  platform::becomeAccessoryApplication();
  auto monitor = HotkeyMonitor::create(*options.shortcut, {.reportRelease = options.reportRelease});
  monitor->start();
  emitReady(options, trusted);
  if (!trusted) emitPermissionMissing();
  installSignalHandlers([monitor] { monitor->stop(); });
  platform::runMainLoop();
  return 0;
}

}  // namespace qen
