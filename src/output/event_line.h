#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace qen {

struct EventValue;

// Text keys mapped to values, in the order they are written.
using EventObject = std::vector<std::pair<std::string, EventValue>>;
using EventList = std::vector<EventValue>;

// Text and Booleans make up the four events of every run; the diagnosis adds
// null, lists and nested objects.
struct EventValue : std::variant<std::string, bool, std::nullptr_t, EventList, EventObject> {
  using variant::variant;
  const variant& alternatives() const { return *this; }
};

// The payload of one event, with "type" always present. Key order on the
// wire is not part of the protocol.
using EventPayload = EventObject;

// The payload as compact JSON followed by one line feed, or nothing when it
// cannot be written as valid UTF-8 JSON.
std::optional<std::string> formatEventLine(const EventPayload& payload);

// The only ways anything reaches standard output. Failures are silent.
void emit(const EventPayload& payload);
void emitError(std::string_view message);

}  // namespace qen
