// What the Windows backend's parts share about the process itself.
#pragma once

#include <windows.h>

namespace qen::platform::windows {

// The host that started us, to wait on: a handle that is signalled when it
// ends, or nullptr when there is none to watch (started from outside Windows,
// or by a process we may not open).
HANDLE hostProcess();

// The host had already gone when we looked: its ID is free, or taken by a
// process started after us.
bool hostAlreadyGone();

// A write to standard output has failed for good; nothing is written after.
bool standardOutputFailed();

}  // namespace qen::platform::windows
