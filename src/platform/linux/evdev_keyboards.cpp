#include "platform/linux/evdev_keyboards.h"

#include <dirent.h>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <string_view>
#include <utility>
#include <vector>

namespace qen::platform::evdev {
namespace {

bool isEventNode(const std::string& name) { return name.rfind("event", 0) == 0; }

int openNode(const std::string& directory, const std::string& name) {
  return open((directory + "/" + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// libevdev logs device quirks (a touchpad's bad tracking-ID range, a failed
// resync) to standard error; the helper never writes there.
void discardLibraryMessage(libevdev_log_priority, void*, const char*, int, const char*, const char*,
                           va_list) {}
void discardDeviceMessage(const libevdev*, libevdev_log_priority, void*, const char*, int,
                          const char*, const char*, va_list) {}

// Like libevdev_new_from_fd, which could log before a handler is set.
libevdev* openSilently(int fd) {
  libevdev_set_log_function(discardLibraryMessage, nullptr);
  libevdev* device = libevdev_new();
  if (device == nullptr) return nullptr;
  libevdev_set_device_log_function(device, discardDeviceMessage, LIBEVDEV_LOG_ERROR, nullptr);
  if (libevdev_set_fd(device, fd) != 0) {
    libevdev_free(device);
    return nullptr;
  }
  return device;
}

bool declares(libevdev* device, std::uint16_t code) {
  return libevdev_has_event_code(device, EV_KEY, code);
}

// A macro pad or a foot pedal may send nothing but the key in Fn's part.
bool isKeyboard(libevdev* device, std::uint16_t fnKeyCode) {
  return declares(device, KEY_FN) || declares(device, KEY_SPACE) || declares(device, fnKeyCode);
}

// The event nodes of directory, in the order they are opened.
std::vector<std::string> eventNodeNames(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return names;
  while (auto* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (isEventNode(name)) names.push_back(std::move(name));
  }
  closedir(dir);
  // Shorter first puts event2 before event10.
  std::sort(names.begin(), names.end(), [](const auto& a, const auto& b) {
    return std::pair(a.size(), std::string_view(a)) < std::pair(b.size(), std::string_view(b));
  });
  return names;
}

InputDevice describe(const std::string& directory, const std::string& name,
                     std::uint16_t fnKeyCode) {
  InputDevice described{.path = directory + "/" + name};
  int fd = openNode(directory, name);
  if (fd < 0) return described;
  described.readable = true;
  if (libevdev* device = openSilently(fd)) {
    if (const char* deviceName = libevdev_get_name(device)) described.name = deviceName;
    described.keyboard = isKeyboard(device, fnKeyCode);
    described.reportsFn = declares(device, fnKeyCode);
    libevdev_free(device);
  }
  close(fd);
  return described;
}

std::vector<std::uint16_t> heldKeys(libevdev* device) {
  std::vector<std::uint16_t> held;
  for (unsigned code = 0; code < KEY_CNT; ++code) {
    if (libevdev_get_event_value(device, EV_KEY, code) != 0) held.push_back(code);
  }
  return held;
}

void watch(int epollFd, int fd, std::uint64_t token) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = token;
  epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event);
}

}  // namespace

std::vector<InputDevice> describeInputDevices(const std::string& directory,
                                              std::uint16_t fnKeyCode) {
  std::vector<InputDevice> devices;
  for (const auto& name : eventNodeNames(directory)) {
    devices.push_back(describe(directory, name, fnKeyCode));
  }
  return devices;
}

EvdevKeyboards::EvdevKeyboards(std::string directory, int epollFd, KeyTranslator& translator,
                               Sink sink)
    : directory_(std::move(directory)),
      epollFd_(epollFd),
      sink_(std::move(sink)),
      translator_(translator) {}

EvdevKeyboards::~EvdevKeyboards() {
  while (!keyboards_.empty()) remove(keyboards_.begin()->first);
  if (inotifyFd_ >= 0) close(inotifyFd_);
}

void EvdevKeyboards::start() {
  if (started_) return;
  started_ = true;
  // Watch before listing, so that a keyboard appearing in between is not missed.
  inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ >= 0) {
    constexpr auto changes = IN_CREATE | IN_ATTRIB | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM;
    if (inotify_add_watch(inotifyFd_, directory_.c_str(), changes) >= 0) {
      watch(epollFd_, inotifyFd_, inotifyToken);
    } else {
      close(inotifyFd_);
      inotifyFd_ = -1;
    }
  }
  openAll();
}

void EvdevKeyboards::openAll() {
  for (const auto& name : eventNodeNames(directory_)) tryOpen(name);
}

void EvdevKeyboards::tryOpen(const std::string& name) {
  if (isOpen(name)) return;
  int fd = openNode(directory_, name);
  if (fd < 0) return;
  libevdev* device = openSilently(fd);
  if (device == nullptr || !isKeyboard(device, fnKeyCode_)) {
    libevdev_free(device);
    close(fd);
    return;
  }
  auto token = nextToken_++;
  keyboards_.emplace(token, Keyboard{name, fd, device});
  translator_.joinKeyboard(token, heldKeys(device));
  watch(epollFd_, fd, token);
}

bool EvdevKeyboards::handleReady(std::uint64_t token, std::uint32_t epollEvents) {
  if (token == inotifyToken) {
    readDirectoryChanges();
    return true;
  }
  if (token < firstKeyboardToken) return false;
  if (!keyboards_.contains(token)) return true;  // removed earlier in the same batch
  readKeyboard(token);
  // A hung-up device that still reads without an error would wake us forever.
  if ((epollEvents & (EPOLLHUP | EPOLLERR)) && keyboards_.contains(token)) remove(token);
  return true;
}

void EvdevKeyboards::readKeyboard(std::uint64_t token) {
  libevdev* device = keyboards_.at(token).device;
  unsigned flag = LIBEVDEV_READ_FLAG_NORMAL;
  // Read until the device is drained: libevdev buffers events that epoll cannot
  // see, and a resync left half done would lose its replayed changes.
  for (;;) {
    input_event event{};
    int status = libevdev_next_event(device, flag, &event);
    if (status == -EAGAIN) {
      if (flag == LIBEVDEV_READ_FLAG_NORMAL) return;
      flag = LIBEVDEV_READ_FLAG_NORMAL;  // resynchronised; read on
      continue;
    }
    if (status < 0) {
      remove(token);
      return;
    }
    if (status == LIBEVDEV_READ_STATUS_SYNC && flag == LIBEVDEV_READ_FLAG_NORMAL) {
      // Events were dropped: libevdev now replays the difference to the real state.
      flag = LIBEVDEV_READ_FLAG_SYNC;
      continue;
    }
    if (event.type == EV_KEY) deliver(translator_.translate(token, event.code, event.value));
  }
}

void EvdevKeyboards::readDirectoryChanges() {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    ssize_t length = read(inotifyFd_, buffer, sizeof buffer);
    if (length <= 0) return;
    for (ssize_t offset = 0; offset < length;) {
      const auto* change = reinterpret_cast<const inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + change->len);
      if (change->mask & IN_Q_OVERFLOW) openAll();
      if (change->len == 0) continue;
      std::string name = change->name;
      if (!isEventNode(name)) continue;
      if (change->mask & (IN_DELETE | IN_MOVED_FROM)) {
        removeByName(name);
      } else {
        tryOpen(name);  // created, moved in, or made readable
      }
    }
  }
}

void EvdevKeyboards::remove(std::uint64_t token) {
  auto found = keyboards_.find(token);
  if (found == keyboards_.end()) return;
  epoll_ctl(epollFd_, EPOLL_CTL_DEL, found->second.fd, nullptr);
  libevdev_free(found->second.device);
  close(found->second.fd);
  keyboards_.erase(found);
  deliver(translator_.removeKeyboard(token));
}

void EvdevKeyboards::removeByName(const std::string& name) {
  for (const auto& [token, keyboard] : keyboards_) {
    if (keyboard.name == name) {
      remove(token);
      return;
    }
  }
}

bool EvdevKeyboards::isOpen(const std::string& name) const {
  for (const auto& [token, keyboard] : keyboards_) {
    if (keyboard.name == name) return true;
  }
  return false;
}

void EvdevKeyboards::deliver(const std::optional<DesktopEvent>& event) {
  if (event) sink_(*event);
}

}  // namespace qen::platform::evdev
