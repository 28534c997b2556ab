// The keys of an X11 session, from its X server's X Input 2 raw key events:
// the second source of keys, for when no keyboard node can be read. Every X
// client of the session may ask for them; nothing is grabbed or sent.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

struct xcb_connection_t;

namespace qen::platform::x11 {

// DISPLAY and XDG_SESSION_TYPE: all the helper reads of the environment for
// the decision (libXau reads XAUTHORITY, or HOME, for the authorisation).
struct Session {
  std::optional<std::string> display;
  std::optional<std::string> type;
  static Session fromEnvironment();
};

class X11Keyboard {
 public:
  using KeySink = std::function<void(std::uint16_t kernelCode, std::int32_t value)>;

  X11Keyboard(xcb_connection_t* connection, std::uint8_t inputOpcode,
              std::vector<std::uint16_t> heldAtStart);
  ~X11Keyboard();
  X11Keyboard(const X11Keyboard&) = delete;
  X11Keyboard& operator=(const X11Keyboard&) = delete;

  // Non-blocking and close-on-exec; readable when events have come.
  int fileDescriptor() const;
  // The keys the server held down when the source started, as kernel codes.
  const std::vector<std::uint16_t>& heldAtStart() const { return heldAtStart_; }
  // Hands every key event that has come to sink, as an EV_KEY value (1 press,
  // 0 release, 2 repeat); never waits. False once the server is gone.
  bool readEvents(const KeySink& sink);

 private:
  xcb_connection_t* connection_;
  std::uint8_t inputOpcode_;
  std::vector<std::uint16_t> heldAtStart_;
};

struct Probe {
  X11Facts facts;
  std::unique_ptr<X11Keyboard> keyboard;  // there exactly when facts.used
};

// Looks at the session's X server when it is one of this machine's, reached
// through a Unix socket, and no Wayland session's: within about a second,
// whatever the server does, and without a word on standard error. With
// watchKeys, a server that offers raw key events (and is not Xwayland)
// becomes the source of keys.
Probe probe(const Session& session, bool watchKeys);

}  // namespace qen::platform::x11
