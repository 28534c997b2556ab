// A scripted desktop for the core's tests: records every platform call in
// order, keeps the registered handlers, and captures standard output.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qen::fake {

struct Registration {
  bool global = true;
  platform::EventMask mask = 0;
  platform::GlobalHandler globalHandler;
  platform::LocalHandler localHandler;
  std::optional<platform::MonitorHandle> handle;
  bool removed = false;
};

struct ProcessExit {
  int status;
};

struct Desktop {
  bool trusted = true;
  std::set<std::size_t> registrationsReturningNoHandle;  // 0-based registration numbers
  std::function<void()> duringMainLoop;
  platform::DesktopFacts facts;

  std::vector<std::string> calls;
  std::string standardOutput;
  std::vector<Registration> registrations;
  std::vector<platform::MonitorHandle> removedHandles;
  std::function<void()> signalHandler;
};

// Fresh state for each test.
Desktop& desktop();
void reset();

// Delivers an event as the window system would: to every global monitor whose
// mask matches and that has not been removed.
void sendFlagsChanged(platform::ModifierFlags flags);
void sendKeyDown(std::uint16_t keyCode, std::optional<std::string> characters,
                 platform::ModifierFlags flags = 0);
void sendKeyUp(std::uint16_t keyCode, std::optional<std::string> characters,
               platform::ModifierFlags flags = 0);

std::vector<std::string> outputLines();
std::vector<nlohmann::json> outputEvents();

}  // namespace qen::fake
