#include "output/event_line.h"

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace qen {

namespace {

using Json = nlohmann::ordered_json;

Json toJson(const EventValue& value);

Json toJson(const EventObject& object) {
  Json json = Json::object();
  for (const auto& [key, value] : object) json[key] = toJson(value);
  return json;
}

Json toJson(const EventList& list) {
  Json json = Json::array();
  for (const auto& value : list) json.push_back(toJson(value));
  return json;
}

Json toJson(const EventValue& value) {
  return std::visit(
      [](const auto& alternative) -> Json {
        using Alternative = std::decay_t<decltype(alternative)>;
        if constexpr (std::is_same_v<Alternative, EventList> ||
                      std::is_same_v<Alternative, EventObject>) {
          return toJson(alternative);
        } else {
          return alternative;
        }
      },
      value.alternatives());
}

}  // namespace

std::optional<std::string> formatEventLine(const EventPayload& payload) {
  Json object = toJson(payload);
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
