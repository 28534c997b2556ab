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

constexpr std::string_view promptOption = "--prompt-accessibility";
constexpr std::string_view reportReleaseOption = "--report-release";
constexpr std::string_view diagnoseOption = "--diagnose";
constexpr const char* permissionMessage =
    "Accessibility permission is required for global Fn shortcuts.";

void emitReady(const ShortcutConfig& config, bool trusted) {
  emit({{"type", std::string("ready")},
        {"shortcut", config.rawValue},
        {"accessibilityTrusted", trusted}});
}

void emitPermissionMissing() {
  emit({{"type", std::string("permission")},
        {"kind", std::string("accessibility")},
        {"status", std::string("missing")},
        {"message", std::string(permissionMessage)}});
}

}  // namespace

bool requestAccessibility(bool prompt) {
  return platform::isProcessTrusted(platform::TrustQueryOptions{.prompt = prompt});
}

int runHelper(const std::vector<std::string>& arguments) {
  if (hasFlag(arguments, diagnoseOption)) {
    bool trusted = requestAccessibility(false);
    emit(diagnosis(trusted, platform::gatherDesktopFacts()));
    return 0;
  }
  std::optional<ShortcutConfig> parsed;
  try {
    parsed = parseShortcut(arguments);
  } catch (const HelperError& error) {
    emitError(error.errorDescription());
    return 1;
  }
  const ShortcutConfig config = *parsed;
  bool trusted = requestAccessibility(hasFlag(arguments, promptOption));
  platform::becomeAccessoryApplication();
  auto monitor =
      HotkeyMonitor::create(config, {.reportRelease = hasFlag(arguments, reportReleaseOption)});
  monitor->start();
  emitReady(config, trusted);
  if (!trusted) emitPermissionMissing();
  installSignalHandlers([monitor] { monitor->stop(); });
  platform::runMainLoop();
  return 0;
}

}  // namespace qen
