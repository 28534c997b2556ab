// An X server of a test's own (Xvfb, started with -displayfd and -noreset),
// with xkeys connected to it to send keys by exact keycode through XTEST.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace qen::testing {

struct XServerOptions {
  bool cookie = false;     // refuses clients without its MIT-MAGIC-COOKIE-1
  bool listenTcp = false;  // also on TCP, as a display of another machine is reached
};

class XServer {
 public:
  // Why it cannot run here, or nothing when it can.
  static std::optional<std::string> unavailableReason();

  explicit XServer(XServerOptions options = {});
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  unsigned number() const { return number_; }
  std::string display() const;  // ":NUMBER"
  // A folder of its own, a HOME whose .Xauthority holds the cookie when
  // there is one.
  const std::string& workDirectory() const { return workDirectory_; }
  std::string authorityFile() const { return workDirectory_ + "/.Xauthority"; }

  // Sends one xkeys line; returns its answer ("ok...", or "error: ...").
  std::string send(const std::string& line);
  // The same in two halves, for a caller that times what happens between.
  void post(const std::string& line);
  std::string answer();

  void kill();  // SIGKILL, and waits until it is gone
  void stop();  // SIGSTOP: it accepts connections but answers nothing
  void resume();

 private:
  void startKeys();

  std::string workDirectory_;
  unsigned number_ = 0;
  pid_t server_ = -1;
  pid_t keys_ = -1;
  int toKeys_ = -1;
  int fromKeys_ = -1;
};

// The X keycode of a key as vkbd names it (the X server's evdev keymap):
// what xkeys sends for it.
std::optional<int> x11Keycode(const std::string& key);

}  // namespace qen::testing
