// The desktop on Linux: keyboards from evdev or, when none can be read, from
// the X server of an X11 session, delivered to the registered monitors from an
// epoll loop on the main thread, which ends when the host is gone or standard
// output fails.
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/common/monitor_list.h"
#include "platform/linux/evdev_keyboards.h"
#include "platform/linux/x11_keyboard.h"
#include "platform/platform.h"
#include "platform/posix/process.h"

namespace qen::platform {
namespace {

constexpr const char* inputDirectory = "/dev/input";
constexpr std::uint64_t parentToken = 1;
constexpr std::uint64_t standardOutputToken = 2;
// The X server's connection, and the X source's keyboard in the translation.
constexpr std::uint64_t x11Token = 3;

constexpr int noParentToWatch = -1;
constexpr int parentAlreadyGone = -2;

// The host that started us, as a pidfd that becomes readable when it exits.
int openParentWatch() {
  auto host = posix::hostProcess();
  if (!host) return noParentToWatch;
  int fd = static_cast<int>(syscall(SYS_pidfd_open, *host, 0));  // close-on-exec
  if (fd < 0) return noParentToWatch;
  if (!posix::isStillParent(*host)) {
    close(fd);
    return parentAlreadyGone;
  }
  return fd;
}

int parentWatch = noParentToWatch;

// Set by the first write to standard output that fails for good; the main
// loop then returns, as it does when the host is gone. Main thread only.
bool standardOutputFailed = false;

// A pipe, socket or terminal reports the reader's departure as an error or a
// hang-up; a regular file or /dev/null has no reader to lose.
bool canWatchForReader(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return false;
  return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) ||
         (S_ISCHR(status.st_mode) && isatty(fd));
}

void watchForHangUp(int epollFd, int fd, std::uint64_t token, std::uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.u64 = token;
  epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event);
}

class Desktop {
 public:
  Desktop()
      : epollFd_(epoll_create1(EPOLL_CLOEXEC)),
        keyboards_(inputDirectory, epollFd_, translator_,
                   [this](const DesktopEvent& e) { dispatch(e); }) {}

  MonitorList& monitors() { return monitors_; }

  evdev::EvdevKeyboards& keyboards() { return keyboards_; }

  // Whether keys reach us: from a keyboard node that can be read; only when
  // none can, from an X11 session's server, and only when a key other than Fn
  // plays Fn's part, as X never sees Fn.
  bool hasKeys() {
    keyboards_.start();
    if (keyboards_.openCount() > 0) return true;
    if (keyboards_.fnKeyCode() != KEY_FN) considerX11(true);
    return x11_ != nullptr;
  }

  // The X server as found when no keyboard node can be read; nothing else.
  std::optional<X11Facts> x11Facts() {
    keyboards_.start();
    if (keyboards_.openCount() > 0) return std::nullopt;
    considerX11(keyboards_.fnKeyCode() != KEY_FN);
    return x11Facts_;
  }

  // Returns when the host is gone (it exited, or it closed our standard
  // output), or once a write to standard output has failed: the handlers write
  // from inside handleReady(), start-up before the loop.
  void run() {
    if (parentWatch == parentAlreadyGone || standardOutputFailed) return;
    if (parentWatch >= 0) watchForHangUp(epollFd_, parentWatch, parentToken, EPOLLIN);
    // No EPOLLOUT: errors and hang-ups are always reported, and an idle
    // helper must not be woken by a writable pipe.
    if (canWatchForReader(posix::standardOutput)) {
      watchForHangUp(epollFd_, posix::standardOutput, standardOutputToken, 0);
    }
    constexpr int batch = 16;
    epoll_event ready[batch];
    for (;;) {
      int count = epoll_wait(epollFd_, ready, batch, -1);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) return;
      for (int i = 0; i < count; ++i) {
        auto token = ready[i].data.u64;
        if (token == parentToken || token == standardOutputToken) return;
        if (token == x11Token) {
          readX11(ready[i].events);
        } else {
          keyboards_.handleReady(token, ready[i].events);
          // A keyboard node that became readable takes over for good.
          if (x11_ && keyboards_.openCount() > 0) dropX11();
        }
        if (standardOutputFailed) return;
      }
    }
  }

 private:
  // Once per process: the answer stands, as the trust answer does.
  void considerX11(bool watchKeys) {
    if (x11Facts_) return;
    auto probe = x11::probe(x11::Session::fromEnvironment(), watchKeys);
    x11Facts_ = probe.facts;
    if (!probe.keyboard) return;
    x11_ = std::move(probe.keyboard);
    translator_.joinKeyboard(x11Token, x11_->heldAtStart());
    watchForHangUp(epollFd_, x11_->fileDescriptor(), x11Token, EPOLLIN);
  }

  void readX11(std::uint32_t epollEvents) {
    if (!x11_) return;  // dropped earlier in the same batch
    bool alive = x11_->readEvents([this](std::uint16_t code, std::int32_t value) {
      deliver(translator_.translate(x11Token, code, value));
    });
    // A hang-up that libxcb has not seen yet would wake us for ever.
    if (!alive || (epollEvents & (EPOLLHUP | EPOLLERR))) dropX11();
  }

  // The server is gone, or a keyboard node took over: the keys X held go up,
  // as when the last keyboard is unplugged.
  void dropX11() {
    epoll_ctl(epollFd_, EPOLL_CTL_DEL, x11_->fileDescriptor(), nullptr);
    x11_.reset();
    deliver(translator_.removeKeyboard(x11Token));
  }

  void deliver(const std::optional<DesktopEvent>& event) {
    if (event) dispatch(*event);
  }

  void dispatch(const DesktopEvent& event) { monitors_.dispatch(event); }

  int epollFd_;
  evdev::KeyTranslator translator_;  // one translation for both sources
  evdev::EvdevKeyboards keyboards_;
  std::unique_ptr<x11::X11Keyboard> x11_;
  std::optional<X11Facts> x11Facts_;
  MonitorList monitors_;
};

// Never destroyed: the signal thread may still remove monitors while the
// process exits.
Desktop& desktop() {
  static Desktop* instance = new Desktop();
  return *instance;
}

}  // namespace

void prepareProcess() {
  posix::prepareStandardOutput();
  parentWatch = openParentWatch();
}

std::optional<MonitorHandle> addGlobalMonitor(EventMask mask, GlobalHandler handler) {
  desktop().keyboards().start();
  if (mask & keyUpMask) desktop().keyboards().reportKeyUps();
  return desktop().monitors().add(mask, std::move(handler));
}

// The helper has no window and so never has the keyboard focus: a local monitor
// registers, but no event is ever sent to this process.
std::optional<MonitorHandle> addLocalMonitor(EventMask mask, LocalHandler) {
  return desktop().monitors().add(mask, nullptr);
}

void removeMonitor(MonitorHandle handle) { desktop().monitors().remove(handle); }

void setFnKey(FnKey key) { desktop().keyboards().setFnKey(evdev::kernelCode(key)); }

// Read access to a keyboard, or an X11 session's raw keys, stands in for the
// desktop's permission to watch other applications' keys. Linux has no prompt
// for it: the prompt flag asks nothing, and the README tells the user how to
// grant access.
bool isProcessTrusted(const TrustQueryOptions&) { return desktop().hasKeys(); }

DesktopFacts gatherDesktopFacts() {
  LinuxDesktopFacts facts{
      .devices = evdev::describeInputDevices(inputDirectory, desktop().keyboards().fnKeyCode())};
  if (const char* session = std::getenv("XDG_SESSION_TYPE")) facts.sessionType = session;
  facts.x11 = desktop().x11Facts();
  return facts;
}

// Nothing to do on Linux: a process without a window shows nowhere on the desktop.
void becomeAccessoryApplication() {}

void runMainLoop() { desktop().run(); }

// After a failure nothing more is written: the stream ends with the line
// that failed.
void writeStandardOutput(std::string_view bytes) {
  if (standardOutputFailed) return;
  standardOutputFailed = !posix::writeAll(posix::standardOutput, bytes);
}

}  // namespace qen::platform
