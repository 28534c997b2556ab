// The desktop on macOS: AppKit's event monitors, the Accessibility trust
// query, and AppKit's event loop, which ends when the host is gone or standard
// output fails.
//
// Start-up runs outside any autorelease pool, so each call here that talks to
// AppKit drains a pool of its own: what AppKit autoreleases before the loop
// starts is released when the call returns, not kept for the life of the
// process.
#import <AppKit/AppKit.h>
#import <ApplicationServices/ApplicationServices.h>
#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>
#include <pthread.h>

#include <atomic>
#include <memory>
#include <vector>

#include "platform/macos/fn_key_translation.h"
#include "platform/platform.h"
#include "platform/posix/process.h"

namespace qen::platform {
namespace {

static_assert(functionKeyFlag == NSEventModifierFlagFunction);
static_assert(keyDownMask == NSEventMaskKeyDown);
static_assert(keyUpMask == NSEventMaskKeyUp);
static_assert(flagsChangedMask == NSEventMaskFlagsChanged);
static_assert(capsLockKeyFlag == NSEventModifierFlagCapsLock);
static_assert(shiftKeyFlag == NSEventModifierFlagShift);
static_assert(controlKeyFlag == NSEventModifierFlagControl);
static_assert(optionKeyFlag == NSEventModifierFlagOption);
static_assert(commandKeyFlag == NSEventModifierFlagCommand);

// One registered monitor. The block checks `active`, so that no handler
// starts after removeMonitor(), which may run on the signal queue while the
// main thread delivers an event; clearing it is also what lets only the first
// removeMonitor() of a handle reach AppKit, which takes each monitor back once.
struct Registration {
  id monitor = nil;
  std::atomic<bool> active{true};
};

// Filled during start-up only, before any other thread exists; never shrinks.
std::vector<std::shared_ptr<Registration>>& registrations() {
  static auto* list = new std::vector<std::shared_ptr<Registration>>();
  return *list;
}

NSApplication* application = nil;  // kept for the life of the process
dispatch_source_t hostWatch = nil;
bool mainLoopEnded = false;                // main thread only
bool standardOutputFailed = false;         // main thread only
macos::FnKeyTranslation fnKeyTranslation;  // main thread only; set before any monitor

DesktopEvent toDesktopEvent(NSEvent* event) {
  DesktopEvent converted;
  converted.type = 1ULL << event.type;
  converted.modifierFlags = event.modifierFlags;
  // AppKit raises when the characters properties are read from a
  // flags-changed event (its keyCode is valid); only key events need them.
  if (event.type == NSEventTypeKeyDown || event.type == NSEventTypeKeyUp) {
    converted.keyCode = event.keyCode;
    // No text, or text that has no UTF-8 form: absent.
    if (const char* characters = event.charactersIgnoringModifiers.UTF8String) {
      converted.charactersIgnoringModifiers = std::string(characters);
    }
  }
  return converted;
}

bool isRepeat(NSEvent* event) { return event.type == NSEventTypeKeyDown && event.isARepeat; }

// The event as the core sees it, when the monitor of mask wants it: a monitor
// may be asked for more than its mask (see FnKeyTranslation::watchedEvents).
std::optional<DesktopEvent> translated(NSEvent* event, EventMask mask) {
  auto converted = fnKeyTranslation.translate(toDesktopEvent(event), isRepeat(event));
  if (!converted || !(converted->type & mask)) return std::nullopt;
  return converted;
}

std::optional<MonitorHandle> remember(id monitor, std::shared_ptr<Registration> registration) {
  if (monitor == nil) return std::nullopt;
  registration->monitor = monitor;
  registrations().push_back(std::move(registration));
  return MonitorHandle{registrations().size()};
}

// A stop waits this long at most for the main thread, however many monitors
// it removes: the first removal that waits sets the deadline, and the later
// ones share it, so that SIGTERM ends the helper well within a second.
constexpr std::int64_t removalBudget = 500 * NSEC_PER_MSEC;

dispatch_time_t removalDeadline() {
  static const dispatch_time_t deadline = dispatch_time(DISPATCH_TIME_NOW, removalBudget);
  return deadline;
}

// AppKit does not document +removeMonitor: as safe off the main thread, so it
// runs there. The main thread may be busy for good (inside a handler, or
// blocked writing to a host that stopped reading), so the wait is bounded: the
// cleared flag already keeps every handler from starting, and the removal
// itself follows whenever the main thread is free again.
void removeOnMainThread(id monitor) {
  dispatch_semaphore_t removed = dispatch_semaphore_create(0);
  dispatch_async(dispatch_get_main_queue(), ^{
    [NSEvent removeMonitor:monitor];
    dispatch_semaphore_signal(removed);
  });
  dispatch_semaphore_wait(removed, removalDeadline());
}

// The loop waits in nextEventMatchingMask:, which CFRunLoopStop() does not
// end: an event of our own wakes it, and it then sees the flag. Before start-up
// has made the application object the flag alone suffices: the loop has not
// started, and returns at once.
void endMainLoop() {
  mainLoopEnded = true;
  if (application == nil) return;
  @autoreleasepool {
    NSEvent* wake = [NSEvent otherEventWithType:NSEventTypeApplicationDefined
                                       location:NSMakePoint(0, 0)
                                  modifierFlags:0
                                      timestamp:0
                                   windowNumber:0
                                        context:nil
                                        subtype:0
                                          data1:0
                                          data2:0];
    [application postEvent:wake atStart:YES];
  }
}

// The helper has no window, is never frontmost and takes no power assertion,
// so App Nap would lower its priority and throttle its timers, and a toggle
// could lag behind the key. A user-initiated activity keeps it out of App Nap;
// this kind still lets the system and the display sleep when idle.
static_assert((NSActivityUserInitiatedAllowingIdleSystemSleep &
               (NSActivityIdleSystemSleepDisabled | NSActivityIdleDisplaySleepDisabled)) == 0);

id<NSObject> appNapExemption = nil;  // held for the life of the process, never ended

void stayOutOfAppNap() {
  appNapExemption = [NSProcessInfo.processInfo
      beginActivityWithOptions:NSActivityUserInitiatedAllowingIdleSystemSleep
                        reason:@"Reports a global keyboard shortcut as it is pressed"];
}

}  // namespace

std::optional<MonitorHandle> addGlobalMonitor(EventMask mask, GlobalHandler handler) {
  @autoreleasepool {
    auto registration = std::make_shared<Registration>();
    id monitor =
        [NSEvent addGlobalMonitorForEventsMatchingMask:fnKeyTranslation.watchedEvents(mask)
                                               handler:^(NSEvent* event) {
                                                 if (!registration->active.load()) return;
                                                 if (auto converted = translated(event, mask)) {
                                                   handler(*converted);
                                                 }
                                               }];
    return remember(monitor, registration);
  }
}

std::optional<MonitorHandle> addLocalMonitor(EventMask mask, LocalHandler handler) {
  @autoreleasepool {
    auto registration = std::make_shared<Registration>();
    id monitor = [NSEvent addLocalMonitorForEventsMatchingMask:fnKeyTranslation.watchedEvents(mask)
                                                       handler:^NSEvent*(NSEvent* event) {
                                                         if (!registration->active.load())
                                                           return event;
                                                         auto converted = translated(event, mask);
                                                         if (!converted) return event;
                                                         return handler(*converted) ? event : nil;
                                                       }];
    return remember(monitor, registration);
  }
}

void setFnKey(FnKey key) { fnKeyTranslation = macos::FnKeyTranslation(key); }

void removeMonitor(MonitorHandle handle) {
  if (handle.id == 0 || handle.id > registrations().size()) return;
  Registration& registration = *registrations()[handle.id - 1];
  if (!registration.active.exchange(false)) return;
  if (!pthread_main_np()) {
    removeOnMainThread(registration.monitor);
    return;
  }
  @autoreleasepool {
    [NSEvent removeMonitor:registration.monitor];
  }
}

bool isProcessTrusted(const TrustQueryOptions& options) {
  @autoreleasepool {
    const void* keys[] = {kAXTrustedCheckOptionPrompt};
    const void* values[] = {options.prompt ? kCFBooleanTrue : kCFBooleanFalse};
    NSDictionary* trustOptions = (__bridge_transfer NSDictionary*)CFDictionaryCreate(
        kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
        &kCFTypeDictionaryValueCallBacks);
    return AXIsProcessTrustedWithOptions((__bridge CFDictionaryRef)trustOptions) != 0;
  }
}

// finishLaunching readies the application's event handling, as -run does
// before its first event. Nothing here activates the helper or opens a
// window: it never takes the keyboard focus from its host. App Nap is kept off
// before any monitor is registered.
void becomeAccessoryApplication() {
  @autoreleasepool {
    stayOutOfAppNap();
    application = [NSApplication sharedApplication];
    [application setActivationPolicy:NSApplicationActivationPolicyAccessory];
    [application finishLaunching];
  }
}

// The host's exit arrives as a Dispatch event on the main queue, which the
// event loop serves (see runMainLoop()); nothing polls.
void prepareProcess() {
  posix::prepareStandardOutput();
  auto host = posix::hostProcess();
  if (!host) return;
  @autoreleasepool {
    hostWatch = dispatch_source_create(DISPATCH_SOURCE_TYPE_PROC, static_cast<uintptr_t>(*host),
                                       DISPATCH_PROC_EXIT, dispatch_get_main_queue());
    dispatch_source_set_event_handler(hostWatch, ^{
      endMainLoop();
    });
    dispatch_resume(hostWatch);
  }
  if (!posix::isStillParent(*host)) mainLoopEnded = true;  // it died before the watch was set
}

// AppKit's own event loop, as -[NSApplication run] runs it: the monitors are
// served by the application's event handling, which a bare run loop never
// starts (a local monitor sees only what passes through sendEvent:). While
// nextEventMatchingMask: waits, it runs the main run loop in the default mode;
// the main run loop drains the main Dispatch queue in each of its common modes,
// the default mode among them, so the host watch's handler runs inside that
// wait, and so do the removals that removeMonitor() sends there.
void runMainLoop() {
  NSApplication* app = [NSApplication sharedApplication];
  while (!mainLoopEnded) {
    @autoreleasepool {
      NSEvent* event = [app nextEventMatchingMask:NSEventMaskAny
                                        untilDate:[NSDate distantFuture]
                                           inMode:NSDefaultRunLoopMode
                                          dequeue:YES];
      if (event != nil) [app sendEvent:event];
    }
  }
}

// Writes come from the main thread only, so the flag needs no lock. After a
// failure nothing more is written, and the main loop ends.
void writeStandardOutput(std::string_view bytes) {
  if (standardOutputFailed) return;
  standardOutputFailed = !posix::writeAll(posix::standardOutput, bytes);
  if (standardOutputFailed) endMainLoop();
}

}  // namespace qen::platform
