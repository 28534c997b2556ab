#include "output/event_line.h"

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace qen {

std::optional<std::string> formatEventLine(const EventPayload& payload) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (const auto& [key, value] : payload) {
    std::visit([&, &key = key](const auto& v) { object[key] = v; }, value);
  }
  try {
    // Compact, UTF-8 as is; throws on text that is not valid UTF-8.
    auto line = object.dump();
    line += '\n';
    return line;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

void emit(const EventPayload& payload) {
  if (auto line = formatEventLine(payload)) platform::writeStandardOutput(*line);
}

void emitError(std::string_view message) {
  emit({{"type", std::string("error")}, {"message", std::string(message)}});
}

}  // namespace qen
