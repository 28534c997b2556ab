// The keyboards under /dev/input, read through libevdev and watched for
// hotplug with inotify. Never grabs a device and never writes to one.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/linux/key_translation.h"

struct libevdev;

namespace qen::platform::evdev {

// Each event node as the helper sees it: readable, a keyboard, with the key
// (kernel code) that plays Fn's part.
std::vector<InputDevice> describeInputDevices(const std::string& directory,
                                              std::uint16_t fnKeyCode);

class EvdevKeyboards {
 public:
  using Sink = std::function<void(const DesktopEvent&)>;

  // Tokens below firstKeyboardToken are free for the epoll loop's other sources.
  static constexpr std::uint64_t firstKeyboardToken = 16;

  // The translator is the desktop's, which another source of keys may share.
  EvdevKeyboards(std::string directory, int epollFd, KeyTranslator& translator, Sink sink);
  ~EvdevKeyboards();
  EvdevKeyboards(const EvdevKeyboards&) = delete;
  EvdevKeyboards& operator=(const EvdevKeyboards&) = delete;

  // Starts watching the directory, then opens every readable keyboard in it.
  // Does nothing the second time.
  void start();
  std::size_t openCount() const { return keyboards_.size(); }
  void reportKeyUps() { translator_.reportKeyUps(); }
  // Before start(): a device that declares this key is a keyboard too.
  void setFnKey(std::uint16_t kernelCode) {
    fnKeyCode_ = kernelCode;
    translator_.setFnKey(kernelCode);
  }
  std::uint16_t fnKeyCode() const { return fnKeyCode_; }

  // Returns false when the token is not one of ours.
  bool handleReady(std::uint64_t token, std::uint32_t epollEvents);

  static constexpr std::uint64_t inotifyToken = firstKeyboardToken - 1;

 private:
  struct Keyboard {
    std::string name;
    int fd;
    libevdev* device;
  };

  void openAll();
  void tryOpen(const std::string& name);
  void readKeyboard(std::uint64_t token);
  void readDirectoryChanges();
  void remove(std::uint64_t token);
  void removeByName(const std::string& name);
  bool isOpen(const std::string& name) const;
  void deliver(const std::optional<DesktopEvent>& event);

  std::string directory_;
  int epollFd_;
  Sink sink_;
  std::uint16_t fnKeyCode_ = KEY_FN;
  int inotifyFd_ = -1;
  bool started_ = false;
  std::uint64_t nextToken_ = firstKeyboardToken;
  std::map<std::uint64_t, Keyboard> keyboards_;
  KeyTranslator& translator_;
};

}  // namespace qen::platform::evdev
