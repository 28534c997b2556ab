// --diagnose: one line that says what stands between the user and a toggle,
// for a host to show when nothing happens.
#pragma once

#include "output/event_line.h"
#include "platform/platform.h"

namespace qen {

// The "diagnosis" event for the desktop's facts and the trust answer, with
// the problems found in them: stable codes for hosts, and a sentence or two
// for the user.
EventPayload diagnosis(bool trusted, const platform::DesktopFacts& facts);

}  // namespace qen
