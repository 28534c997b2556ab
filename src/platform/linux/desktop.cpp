// The desktop on Linux: keyboards from evdev, delivered to the registered
// monitors from an epoll loop on the main thread.
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <vector>

#include "platform/linux/evdev_keyboards.h"
#include "platform/platform.h"

namespace qen::platform {
namespace {

constexpr const char* inputDirectory = "/dev/input";

struct Registration {
  MonitorHandle handle;
  EventMask mask;
  GlobalHandler handler;  // empty for local monitors, which never fire here
  std::atomic<bool> active{true};
};

class Desktop {
 public:
  Desktop()
      : epollFd_(epoll_create1(EPOLL_CLOEXEC)),
        keyboards_(inputDirectory, epollFd_, [this](const DesktopEvent& e) { dispatch(e); }) {}

  MonitorHandle add(EventMask mask, GlobalHandler handler) {
    MonitorHandle handle{registrations_.size() + 1};
    auto registration = std::make_unique<Registration>();
    registration->handle = handle;
    registration->mask = mask;
    registration->handler = std::move(handler);
    registrations_.push_back(std::move(registration));
    return handle;
  }

  // The registrations are only added during start-up, before any other thread
  // exists; afterwards removal touches nothing but an atomic flag, so it is safe
  // while the main thread dispatches.
  void remove(MonitorHandle handle) {
    for (const auto& registration : registrations_) {
      if (registration->handle == handle) registration->active.store(false);
    }
  }

  evdev::EvdevKeyboards& keyboards() { return keyboards_; }

  void run() {
    constexpr int batch = 16;
    epoll_event ready[batch];
    for (;;) {
      int count = epoll_wait(epollFd_, ready, batch, -1);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) return;
      for (int i = 0; i < count; ++i) keyboards_.handleReady(ready[i].data.u64, ready[i].events);
    }
  }

 private:
  void dispatch(const DesktopEvent& event) {
    for (const auto& registration : registrations_) {
      if (registration->handler && (registration->mask & event.type) &&
          registration->active.load()) {
        registration->handler(event);
      }
    }
  }

  int epollFd_;
  evdev::EvdevKeyboards keyboards_;
  std::vector<std::unique_ptr<Registration>> registrations_;
};

// Never destroyed: the signal thread may still remove monitors while the
// process exits.
Desktop& desktop() {
  static Desktop* instance = new Desktop();
  return *instance;
}

}  // namespace

std::optional<MonitorHandle> addGlobalMonitor(EventMask mask, GlobalHandler handler) {
  desktop().keyboards().start();
  return desktop().add(mask, std::move(handler));
}

// The helper has no window and so never has the keyboard focus: a local monitor
// registers, but no event is ever sent to this process.
std::optional<MonitorHandle> addLocalMonitor(EventMask mask, LocalHandler) {
  return desktop().add(mask, nullptr);
}

void removeMonitor(MonitorHandle handle) { desktop().remove(handle); }

// Read access to a keyboard stands in for the desktop's permission to watch
// other applications' keys. Linux has no prompt for it: the prompt flag asks
// nothing, and the README tells the user how to grant access.
bool isProcessTrusted(const TrustQueryOptions&) {
  desktop().keyboards().start();
  return desktop().keyboards().openCount() > 0;
}

// Nothing to do on Linux: a process without a window shows nowhere on the desktop.
void becomeAccessoryApplication() {}

void runMainLoop() { desktop().run(); }

}  // namespace qen::platform
