// Arbitrary payload strings: every line of valid UTF-8 text is compact JSON,
// valid UTF-8, ends with exactly one line feed, and parses back to the
// payload; text that is not UTF-8 yields no line at all. A diagnosis of
// arbitrary device names and session type always yields its line.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "diagnosis/diagnosis.h"
#include "output/event_line.h"
#include "shortcut/unicode_text.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

std::string written;

// Device names and the environment are bytes from outside: never a lost line.
void checkDiagnosis(const std::string& name, const std::string& session, bool flag) {
  qen::platform::InputDevice device{.path = "/dev/input/" + session,
                                    .readable = true,
                                    .name = name,
                                    .keyboard = flag,
                                    .reportsFn = !flag};
  auto line = qen::formatEventLine(
      qen::diagnosis(flag, qen::platform::LinuxDesktopFacts{{device}, session}));
  check(line.has_value());
}

}  // namespace

namespace qen::platform {
void writeStandardOutput(std::string_view bytes) { written.append(bytes); }
}  // namespace qen::platform

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  auto cut = input.find('\0');
  std::string message = input.substr(0, cut);
  std::string shortcut = cut == std::string::npos ? "" : input.substr(cut + 1);
  bool flag = size % 2 == 1;
  qen::EventPayload payload = {{"type", std::string("toggle")},
                               {"shortcut", shortcut},
                               {"message", message},
                               {"accessibilityTrusted", flag}};
  written.clear();
  qen::emit(payload);
  bool validText = qen::unicode::toValidUtf8(message) == message &&
                   qen::unicode::toValidUtf8(shortcut) == shortcut;
  checkDiagnosis(message, shortcut, flag);
  if (!validText) {
    check(written.empty());
    return 0;
  }
  check(!written.empty() && written.back() == '\n');
  check(written.find('\n') == written.size() - 1 && written.find('\r') == std::string::npos);
  check(qen::unicode::toValidUtf8(written) == written);
  auto event = nlohmann::ordered_json::parse(written.substr(0, written.size() - 1));
  check(event.dump() + "\n" == written);  // compact: no whitespace between tokens
  check(event == nlohmann::ordered_json{{"type", "toggle"},
                                        {"shortcut", shortcut},
                                        {"message", message},
                                        {"accessibilityTrusted", flag}});
  return 0;
}
