#include "platform/linux/x11_keyboard.h"

#include <X11/Xauth.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

#include "platform/linux/key_translation.h"

namespace qen::platform::x11 {
namespace {

using namespace std::chrono_literals;

// Long enough for a busy server, short enough for a host waiting for "ready".
constexpr auto timeLimit = 1s;

bool isNumber(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The display number when display names one of this machine's displays
// through a Unix socket, as [unix/][unix]:NUMBER[.SCREEN]; nothing for
// another machine's (TCP, which libxcb would also fall back to) or nonsense.
std::optional<unsigned> localDisplayNumber(std::string_view display) {
  if (auto slash = display.rfind('/'); slash != std::string_view::npos) {
    if (display.substr(0, slash) != "unix") return std::nullopt;
    display.remove_prefix(slash + 1);
  }
  auto colon = display.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  auto host = display.substr(0, colon);
  if (!host.empty() && host != "unix") return std::nullopt;
  auto rest = display.substr(colon + 1);
  auto dot = rest.find('.');
  auto number = rest.substr(0, dot);
  if (!isNumber(number)) return std::nullopt;
  if (dot != std::string_view::npos && !isNumber(rest.substr(dot + 1))) return std::nullopt;
  unsigned value = 0;
  auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc() || value > 65535) return std::nullopt;
  return value;
}

bool connectTo(int fd, const std::string& path, bool abstract) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::size_t offset = abstract ? 1 : 0;  // an abstract name starts with a zero byte
  if (offset + path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() +
                                       (abstract ? 0 : 1));
  return connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
}

// As libxcb looks for a local display: the abstract socket, then the file.
// Non-blocking, so that a server that accepts nothing fails at once.
int connectToDisplay(unsigned number) {
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
  for (bool abstract : {true, false}) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connectTo(fd, path, abstract)) return fd;
    close(fd);
  }
  return -1;
}

// libxcb writes a server's refusal (such as "Authorization required") to
// standard error, which the helper never does: /dev/null stands in for it
// while the connection is set up.
class StandardErrorSilenced {
 public:
  StandardErrorSilenced() : saved_(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)) {
    int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull < 0) return;
    silenced_ = devNull == STDERR_FILENO || dup2(devNull, STDERR_FILENO) == STDERR_FILENO;
    if (devNull != STDERR_FILENO) close(devNull);
  }
  ~StandardErrorSilenced() {
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
    } else {
      close(STDERR_FILENO);  // it was closed before
    }
  }
  StandardErrorSilenced(const StandardErrorSilenced&) = delete;
  StandardErrorSilenced& operator=(const StandardErrorSilenced&) = delete;
  bool silenced() const { return silenced_; }

 private:
  int saved_;
  bool silenced_ = false;
};

// The session's MIT-MAGIC-COOKIE-1 for this display, from the file that
// libXau names (XAUTHORITY, else .Xauthority in HOME), as libxcb finds it
// for a local connection.
class Cookie {
 public:
  explicit Cookie(unsigned display) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return;
    std::string number = std::to_string(display);
    char name[] = "MIT-MAGIC-COOKIE-1";
    char* names[] = {name};
    int nameLengths[] = {static_cast<int>(std::strlen(name))};
    entry_ = XauGetBestAuthByAddr(FamilyLocal, static_cast<unsigned short>(std::strlen(host)), host,
                                  static_cast<unsigned short>(number.size()), number.data(), 1,
                                  names, nameLengths);
    if (entry_ == nullptr) return;
    info_ = {entry_->name_length, entry_->name, entry_->data_length, entry_->data};
  }
  ~Cookie() {
    if (entry_ != nullptr) XauDisposeAuth(entry_);
  }
  Cookie(const Cookie&) = delete;
  Cookie& operator=(const Cookie&) = delete;
  xcb_auth_info_t* info() { return entry_ != nullptr ? &info_ : nullptr; }

 private:
  Xauth* entry_ = nullptr;
  xcb_auth_info_t info_{};
};

xcb_window_t firstRoot(xcb_connection_t* connection) {
  return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

bool hasXwaylandDevice(const xcb_input_xi_query_device_reply_t* devices) {
  constexpr std::string_view prefix = "xwayland-";
  for (auto each = xcb_input_xi_query_device_infos_iterator(devices); each.rem;
       xcb_input_xi_device_info_next(&each)) {
    std::string_view name(
        xcb_input_xi_device_info_name(each.data),
        static_cast<std::size_t>(xcb_input_xi_device_info_name_length(each.data)));
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

bool selectRawKeys(xcb_connection_t* connection) {
  struct {
    xcb_input_event_mask_t header;
    std::uint32_t bits;
  } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
         XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE};
  auto cookie =
      xcb_input_xi_select_events_checked(connection, firstRoot(connection), 1, &mask.header);
  xcb_generic_error_t* error = xcb_request_check(connection, cookie);
  std::free(error);
  return error == nullptr && !xcb_connection_has_error(connection);
}

std::optional<std::vector<std::uint16_t>> heldKeys(xcb_connection_t* connection) {
  auto* keymap = xcb_query_keymap_reply(connection, xcb_query_keymap(connection), nullptr);
  if (keymap == nullptr) return std::nullopt;
  std::vector<std::uint16_t> held;
  for (unsigned keycode = 0; keycode < 256; ++keycode) {
    auto code = evdev::kernelCodeOfX11Keycode(keycode);
    if (code && (keymap->keys[keycode / 8] & (1u << (keycode % 8)))) held.push_back(*code);
  }
  std::free(keymap);
  return held;
}

// What the worker found; its connection is the caller's to keep or drop.
struct Handshake {
  bool timedOut = false;
  xcb_connection_t* connection = nullptr;
  X11Facts facts;
  std::uint8_t inputOpcode = 0;
  std::optional<std::vector<std::uint16_t>> held;  // there once raw keys are selected
};

// Every round trip of the start, on the worker thread: each may block until
// the caller shuts the socket down.
void shakeHands(Handshake& result, int fd, unsigned display, bool watchKeys) {
  Cookie cookie(display);
  auto* connection = xcb_connect_to_fd(fd, cookie.info());
  result.connection = connection;
  if (xcb_connection_has_error(connection)) return;
  constexpr std::string_view xwaylandName = "XWAYLAND";
  xcb_prefetch_extension_data(connection, &xcb_input_id);
  auto xwaylandCookie = xcb_query_extension(
      connection, static_cast<std::uint16_t>(xwaylandName.size()), xwaylandName.data());
  const auto* input = xcb_get_extension_data(connection, &xcb_input_id);
  auto* xwayland = xcb_query_extension_reply(connection, xwaylandCookie, nullptr);
  result.facts.xwayland = xwayland != nullptr && xwayland->present;
  std::free(xwayland);
  if (input == nullptr || !input->present) return;
  result.inputOpcode = input->major_opcode;
  auto versionCookie =
      xcb_input_xi_query_version(connection, XCB_INPUT_MAJOR_VERSION, XCB_INPUT_MINOR_VERSION);
  auto devicesCookie = xcb_input_xi_query_device(connection, XCB_INPUT_DEVICE_ALL);
  if (auto* version = xcb_input_xi_query_version_reply(connection, versionCookie, nullptr)) {
    result.facts.xinputVersion = {version->major_version, version->minor_version};
    std::free(version);
  }
  if (auto* devices = xcb_input_xi_query_device_reply(connection, devicesCookie, nullptr)) {
    result.facts.xwayland = result.facts.xwayland || hasXwaylandDevice(devices);
    std::free(devices);
  }
  bool offersRawKeys = result.facts.xinputVersion &&
                       *result.facts.xinputVersion >= oldestUsableXInput && !result.facts.xwayland;
  // Selected before the keymap is asked for, so that no press falls between.
  if (watchKeys && offersRawKeys && selectRawKeys(connection)) result.held = heldKeys(connection);
}

// Between the caller and the worker; the worker's copy keeps it alive when
// the caller has given up on it.
struct Attempt {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
  Handshake result;
};

// Long enough for a worker to see its socket shut down.
constexpr auto graceAfterShutdown = 100ms;

// Runs shakeHands on a thread of its own and waits until the deadline. Past
// it, shutting the socket down ends every wait on the server at once, and the
// worker is joined. What no socket can end (a read of the Xauthority file on a
// dead network mount) leaves the worker on its own, blocked, not waking: it
// drops what it made when it gets through.
Handshake shakeHandsWithin(int fd, unsigned display, bool watchKeys,
                           std::chrono::steady_clock::time_point deadline) {
  int abortHandle = fcntl(fd, F_DUPFD_CLOEXEC, 3);  // the same socket, which stays ours
  if (abortHandle < 0) {
    close(fd);
    return {};
  }
  auto attempt = std::make_shared<Attempt>();
  std::thread worker;
  try {
    worker = std::thread([attempt, fd, display, watchKeys] {
      Handshake result;
      shakeHands(result, fd, display, watchKeys);
      std::lock_guard lock(attempt->mutex);
      if (attempt->abandoned) {
        xcb_disconnect(result.connection);
        return;
      }
      attempt->result = result;
      attempt->done = true;
      attempt->finished.notify_one();
    });
  } catch (const std::system_error&) {  // no thread to be had: no X source
    close(fd);
    close(abortHandle);
    return {};
  }
  std::unique_lock lock(attempt->mutex);
  auto isDone = [&] { return attempt->done; };
  bool timedOut = !attempt->finished.wait_until(lock, deadline, isDone);
  if (timedOut) {
    shutdown(abortHandle, SHUT_RDWR);
    if (!attempt->finished.wait_for(lock, graceAfterShutdown, isDone)) {
      attempt->abandoned = true;
      lock.unlock();
      worker.detach();
      close(abortHandle);
      return {.timedOut = true};
    }
  }
  lock.unlock();
  worker.join();
  close(abortHandle);
  auto result = attempt->result;
  result.timedOut = timedOut;  // also when the worker was just about done
  return result;
}

}  // namespace

Session Session::fromEnvironment() {
  Session session;
  if (const char* display = std::getenv("DISPLAY")) session.display = display;
  if (const char* type = std::getenv("XDG_SESSION_TYPE")) session.type = type;
  return session;
}

X11Keyboard::X11Keyboard(xcb_connection_t* connection, std::uint8_t inputOpcode,
                         std::vector<std::uint16_t> heldAtStart)
    : connection_(connection), inputOpcode_(inputOpcode), heldAtStart_(std::move(heldAtStart)) {}

X11Keyboard::~X11Keyboard() { xcb_disconnect(connection_); }

int X11Keyboard::fileDescriptor() const { return xcb_get_file_descriptor(connection_); }

bool X11Keyboard::readEvents(const KeySink& sink) {
  while (auto* event = xcb_poll_for_event(connection_)) {
    const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
    bool isKey = (event->response_type & 0x7f) == XCB_GE_GENERIC &&
                 generic->extension == inputOpcode_ &&
                 (generic->event_type == XCB_INPUT_RAW_KEY_PRESS ||
                  generic->event_type == XCB_INPUT_RAW_KEY_RELEASE);
    if (isKey) {
      const auto* key = reinterpret_cast<const xcb_input_raw_key_press_event_t*>(event);
      bool repeat = (key->flags & XCB_INPUT_KEY_EVENT_FLAGS_KEY_REPEAT) != 0;
      std::int32_t value = key->event_type == XCB_INPUT_RAW_KEY_RELEASE ? 0 : repeat ? 2 : 1;
      if (auto code = evdev::kernelCodeOfX11Keycode(key->detail)) sink(*code, value);
    }
    std::free(event);  // others, such as MappingNotify, which every client gets
  }
  return !xcb_connection_has_error(connection_);
}

Probe probe(const Session& session, bool watchKeys) {
  Probe found;
  auto& facts = found.facts;
  facts.display = session.display.has_value();
  // Under Wayland, Xwayland shows keys only while an X window has the focus.
  facts.xwayland = facts.display && session.type == "wayland";
  auto display = facts.display ? localDisplayNumber(*session.display) : std::nullopt;
  if (!display || facts.xwayland) return found;
  auto deadline = std::chrono::steady_clock::now() + timeLimit;
  StandardErrorSilenced quiet;  // before the socket, which could take descriptor 2
  if (!quiet.silenced()) return found;
  int fd = connectToDisplay(*display);
  if (fd < 0) return found;
  auto handshake = shakeHandsWithin(fd, *display, watchKeys, deadline);
  if (handshake.connection == nullptr || handshake.timedOut ||
      xcb_connection_has_error(handshake.connection)) {
    xcb_disconnect(handshake.connection);
    return found;
  }
  facts = handshake.facts;
  facts.display = true;
  facts.connected = true;
  facts.used = handshake.held.has_value();
  if (facts.used) {
    found.keyboard = std::make_unique<X11Keyboard>(handshake.connection, handshake.inputOpcode,
                                                   std::move(*handshake.held));
  } else {
    xcb_disconnect(handshake.connection);
  }
  return found;
}

}  // namespace qen::platform::x11
