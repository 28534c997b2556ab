#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace qen {

using EventValue = std::variant<std::string, bool>;

// The payload of one event: text keys mapped to text or Boolean values, with
// "type" always present. Key order on the wire is not part of the protocol.
using EventPayload = std::vector<std::pair<std::string, EventValue>>;

// The payload as compact JSON followed by one line feed, or nothing when it
// cannot be written as valid UTF-8 JSON.
std::optional<std::string> formatEventLine(const EventPayload& payload);

// The only ways anything reaches standard output. Failures are silent.
void emit(const EventPayload& payload);
void emitError(std::string_view message);

}  // namespace qen
