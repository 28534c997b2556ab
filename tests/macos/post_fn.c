// Posts one press and one release of Fn (globe) as a keyboard reports them:
// flags-changed events of virtual key 63, the first with the Fn flag set. The
// macOS CI job runs it beside a helper started with --shortcut fn, which should
// then write exactly one toggle. Built on a Mac only.
// Exit status 2: this process may not post events here, so nothing was sent.
#include <CoreGraphics/CoreGraphics.h>
#include <stdbool.h>
#include <stdio.h>
#include <unistd.h>

static const CGKeyCode functionKey = 63;

static bool postFunctionKey(bool down) {
  CGEventRef event = CGEventCreateKeyboardEvent(NULL, functionKey, down);
  if (event == NULL) return false;
  CGEventSetType(event, kCGEventFlagsChanged);
  CGEventSetFlags(event, down ? kCGEventFlagMaskSecondaryFn : (CGEventFlags)0);
  CGEventPost(kCGHIDEventTap, event);
  CFRelease(event);
  return true;
}

int main(void) {
  if (!CGPreflightPostEventAccess()) {
    puts("post_fn: this process may not post events");
    return 2;
  }
  if (!postFunctionKey(true)) return 1;
  usleep(100 * 1000);
  return postFunctionKey(false) ? 0 : 1;
}
