// Per-event costs: the state machine's handlers, the evdev translation, and
// building and writing one toggle line (to /dev/null).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "hotkey/hotkey_monitor.h"
#include "output/event_line.h"
#include "platform/linux/key_translation.h"

namespace {

// A desktop that keeps the handlers and writes lines to /dev/null.
std::vector<qen::platform::GlobalHandler> globalHandlers;
int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);

qen::platform::DesktopEvent flagsEvent(qen::platform::ModifierFlags flags) {
  qen::platform::DesktopEvent event;
  event.type = qen::platform::flagsChangedMask;
  event.modifierFlags = flags;
  return event;
}

qen::platform::DesktopEvent keyEvent(std::uint16_t code) {
  qen::platform::DesktopEvent event;
  event.type = qen::platform::keyDownMask;
  event.keyCode = code;
  return event;
}

void deliver(const qen::platform::DesktopEvent& event) {
  for (const auto& handler : globalHandlers) handler(event);
}

// Fn held, a letter key-down: the common case, no toggle.
void handlersPerEvent(benchmark::State& state) {
  globalHandlers.clear();
  auto monitor = qen::HotkeyMonitor::create({"Fn+Space", qen::Mode::fnSpace});
  monitor->start();
  auto fnDown = flagsEvent(qen::functionKeyFlag);
  auto letter = keyEvent(0);
  deliver(fnDown);
  for (auto _ : state) deliver(letter);
}
BENCHMARK(handlersPerEvent);

void translationPerEvent(benchmark::State& state) {
  qen::platform::evdev::KeyTranslator translator;
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(translator.translate(1, KEY_A, value));
    value ^= 1;
  }
}
BENCHMARK(translationPerEvent);

void toggleLine(benchmark::State& state) {
  for (auto _ : state) {
    qen::emit({{"type", std::string("toggle")},
               {"shortcut", std::string("Fn+Space")},
               {"source", std::string("fn+space")}});
  }
}
BENCHMARK(toggleLine);

}  // namespace

namespace qen::platform {

std::optional<MonitorHandle> addGlobalMonitor(EventMask mask, GlobalHandler handler) {
  globalHandlers.push_back([mask, handler](const DesktopEvent& event) {
    if (mask & event.type) handler(event);
  });
  return MonitorHandle{globalHandlers.size()};
}
std::optional<MonitorHandle> addLocalMonitor(EventMask, LocalHandler) { return MonitorHandle{0}; }
void removeMonitor(MonitorHandle) {}
void writeStandardOutput(std::string_view bytes) {
  benchmark::DoNotOptimize(write(devNull, bytes.data(), bytes.size()));
}

}  // namespace qen::platform

BENCHMARK_MAIN();
