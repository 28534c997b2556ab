// --diagnose: one line that says what stands between the user and a toggle,
// for a host to show when nothing happens.
#pragma once

#include <optional>

#include "output/event_line.h"
#include "platform/platform.h"

namespace qen {

// The "diagnosis" event for the desktop's facts and the trust answer, with
// the problems found in them: stable codes for hosts, and a sentence or two
// for the user. fnKey is what --fn-key named, if anything; the facts were
// gathered with it in Fn's part.
EventPayload diagnosis(bool trusted, const platform::DesktopFacts& facts,
                       std::optional<platform::FnKey> fnKey = std::nullopt);

}  // namespace qen
