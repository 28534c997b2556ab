#include "fake_platform.h"

#include <sstream>

#include "shortcut/shortcut.h"

namespace qen::fake {
namespace {

const char* signalName(platform::Signal signal) {
  return signal == platform::Signal::terminate ? "SIGTERM" : "SIGINT";
}

std::optional<platform::MonitorHandle> record(Registration registration) {
  auto& d = desktop();
  auto number = d.registrations.size();
  d.calls.push_back(std::string(registration.global ? "addGlobalMonitor " : "addLocalMonitor ") +
                    std::to_string(registration.mask));
  if (!d.registrationsReturningNoHandle.contains(number)) {
    registration.handle = platform::MonitorHandle{100 + number};
  }
  d.registrations.push_back(std::move(registration));
  return d.registrations.back().handle;
}

void send(const platform::DesktopEvent& event) {
  // Copy: a handler could register more monitors while we iterate.
  auto registrations = desktop().registrations;
  for (const auto& r : registrations) {
    if (r.global && !r.removed && (r.mask & event.type)) r.globalHandler(event);
  }
}

void sendKey(platform::EventMask type, std::uint16_t keyCode, std::optional<std::string> characters,
             platform::ModifierFlags flags) {
  platform::DesktopEvent event;
  event.type = type;
  event.modifierFlags = flags;
  event.keyCode = keyCode;
  event.charactersIgnoringModifiers = std::move(characters);
  send(event);
}

}  // namespace

Desktop& desktop() {
  static Desktop instance;
  return instance;
}

void reset() { desktop() = Desktop{}; }

void sendFlagsChanged(platform::ModifierFlags flags) {
  platform::DesktopEvent event;
  event.type = platform::flagsChangedMask;
  event.modifierFlags = flags;
  send(event);
}

void sendKeyDown(std::uint16_t keyCode, std::optional<std::string> characters,
                 platform::ModifierFlags flags) {
  sendKey(platform::keyDownMask, keyCode, std::move(characters), flags);
}

void sendKeyUp(std::uint16_t keyCode, std::optional<std::string> characters,
               platform::ModifierFlags flags) {
  sendKey(platform::keyUpMask, keyCode, std::move(characters), flags);
}

std::vector<std::string> outputLines() {
  std::vector<std::string> lines;
  std::istringstream stream(desktop().standardOutput);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::vector<nlohmann::json> outputEvents() {
  std::vector<nlohmann::json> events;
  for (const auto& line : outputLines()) events.push_back(nlohmann::json::parse(line));
  return events;
}

}  // namespace qen::fake

namespace qen::platform {

std::optional<MonitorHandle> addGlobalMonitor(EventMask mask, GlobalHandler handler) {
  fake::Registration registration;
  registration.mask = mask;
  registration.globalHandler = std::move(handler);
  return fake::record(std::move(registration));
}

std::optional<MonitorHandle> addLocalMonitor(EventMask mask, LocalHandler handler) {
  fake::Registration registration;
  registration.global = false;
  registration.mask = mask;
  registration.localHandler = std::move(handler);
  return fake::record(std::move(registration));
}

void removeMonitor(MonitorHandle handle) {
  auto& d = fake::desktop();
  d.calls.push_back("removeMonitor " + std::to_string(handle.id));
  d.removedHandles.push_back(handle);
  for (auto& r : d.registrations) {
    if (r.handle == handle) r.removed = true;
  }
}

bool isProcessTrusted(const TrustQueryOptions& options) {
  auto& d = fake::desktop();
  d.calls.push_back(std::string("isProcessTrusted prompt=") + (options.prompt ? "true" : "false"));
  return d.trusted;
}

void setFnKey(FnKey key) {
  fake::desktop().calls.push_back("setFnKey " + std::string(fnKeyName(key)));
}

DesktopFacts gatherDesktopFacts() {
  fake::desktop().calls.push_back("gatherDesktopFacts");
  return fake::desktop().facts;
}

void becomeAccessoryApplication() { fake::desktop().calls.push_back("becomeAccessoryApplication"); }

void runMainLoop() {
  fake::desktop().calls.push_back("runMainLoop");
  if (fake::desktop().duringMainLoop) fake::desktop().duringMainLoop();
}

void ignoreSignal(Signal signal) {
  fake::desktop().calls.push_back(std::string("ignoreSignal ") + fake::signalName(signal));
}

void watchSignals(std::string_view queueLabel, std::initializer_list<Signal> signals,
                  std::function<void()> handler) {
  std::string call = "watchSignals " + std::string(queueLabel);
  for (auto signal : signals) call += std::string(" ") + fake::signalName(signal);
  fake::desktop().calls.push_back(call);
  fake::desktop().signalHandler = std::move(handler);
}

void exitProcess(int status) {
  fake::desktop().calls.push_back("exitProcess " + std::to_string(status));
  throw fake::ProcessExit{status};
}

void writeStandardOutput(std::string_view bytes) {
  auto& d = fake::desktop();
  d.calls.push_back("write");
  d.standardOutput.append(bytes);
}

}  // namespace qen::platform
