// The registered monitors of a backend that delivers every event itself
// (Linux, Windows), as opposed to AppKit, which keeps its own. Not part of
// the boundary: only backends include it.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "platform/platform.h"

namespace qen::platform {

class MonitorList {
 public:
  // Start-up only, before any other thread exists. A local monitor has no
  // handler: the helper has no window, so no event is ever sent to it.
  MonitorHandle add(EventMask mask, GlobalHandler handler) {
    auto registration = std::make_unique<Registration>();
    registration->handle = MonitorHandle{registrations_.size() + 1};
    registration->mask = mask;
    registration->handler = std::move(handler);
    registrations_.push_back(std::move(registration));
    return registrations_.back()->handle;
  }

  // Safe from any thread while the main thread dispatches: it touches
  // nothing but atomic flags. Tells whether any monitor is still active.
  bool remove(MonitorHandle handle) {
    bool anyActive = false;
    for (const auto& registration : registrations_) {
      if (registration->handle == handle) registration->active.store(false);
      anyActive = anyActive || registration->active.load();
    }
    return anyActive;
  }

  // Main thread: to every active monitor whose mask matches.
  void dispatch(const DesktopEvent& event) const {
    for (const auto& registration : registrations_) {
      if (registration->handler && (registration->mask & event.type) &&
          registration->active.load()) {
        registration->handler(event);
      }
    }
  }

 private:
  struct Registration {
    MonitorHandle handle;
    EventMask mask = 0;
    GlobalHandler handler;
    std::atomic<bool> active{true};
  };

  std::vector<std::unique_ptr<Registration>> registrations_;
};

}  // namespace qen::platform
