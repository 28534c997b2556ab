// Arbitrary argument vectors of arbitrary bytes (elements split at NUL, as
// the kernel hands them over): every one yields a configuration or one of the
// two errors, and the error's line is valid, compact and parses back.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "output/event_line.h"
#include "shortcut/shortcut.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

std::vector<std::string> splitAtNul(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> raw(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      raw.emplace_back();
    } else {
      raw.back() += static_cast<char>(data[i]);
    }
  }
  std::vector<const char*> argv;
  for (const auto& element : raw) argv.push_back(element.c_str());
  return qen::argumentVector(static_cast<int>(argv.size()), argv.data());
}

void checkErrorLine(const qen::HelperError& error) {
  auto line =
      qen::formatEventLine({{"type", std::string("error")}, {"message", error.errorDescription()}});
  check(line.has_value());
  check(line->back() == '\n' && line->find('\n') == line->size() - 1);
  auto event = nlohmann::ordered_json::parse(line->substr(0, line->size() - 1));
  check(event.dump() + "\n" == *line);  // compact
  check(event["message"] == error.errorDescription());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto arguments = splitAtNul(data, size);
  try {
    auto config = qen::parseShortcut(arguments);
    check((config.rawValue == "Fn" && config.mode == qen::Mode::fnOnly) ||
          (config.rawValue == "Fn+Space" && config.mode == qen::Mode::fnSpace));
  } catch (const qen::HelperError& error) {
    using Kind = qen::HelperError::Kind;
    check(error.kind() == Kind::missingShortcut || error.kind() == Kind::unsupportedShortcut);
    checkErrorLine(error);
  }
  return 0;
}

// Linked in with the event line writer; this target only formats lines.
namespace qen::platform {
void writeStandardOutput(std::string_view) {}
}  // namespace qen::platform
