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

// One of the core's monitors. Every call of its handler checks `active`, so
// that no handler starts after removeMonitor(), which may run on the signal
// queue while the main thread delivers an event; clearing it is also what
// lets only the first removeMonitor() of a handle count.
struct Registration {
  EventMask mask = 0;
  GlobalHandler globalHandler;
  LocalHandler localHandler;
  std::atomic<bool> active{true};
};

// AppKit gets one monitor per kind, global or local, for the events that all
// of the core's monitors of that kind want. Each event is then translated
// once: the translation keeps state (the press of a key in Fn's part), and
// AppKit documents neither the order in which it calls two monitors that
// match one event nor whether they get the same event object.
struct MonitorKind {
  explicit MonitorKind(bool isGlobal) : global(isGlobal) {}
  const bool global;
  id monitor = nil;  // AppKit's, written during start-up only
  EventMask watched = 0;
  std::vector<std::shared_ptr<Registration>> registrations;  // start-up only, never shrinks
  std::atomic<std::size_t> active{0};
};

// What the main thread may be using while another thread ends the process
// is never destroyed.
MonitorKind& globalMonitors() {
  static auto* kind = new MonitorKind(true);
  return *kind;
}

MonitorKind& localMonitors() {
  static auto* kind = new MonitorKind(false);
  return *kind;
}

// Set before any monitor, main thread only.
macos::FnKeyTranslation& fnKeyTranslation() {
  static auto* translation = new macos::FnKeyTranslation();
  return *translation;
}

// Every registration, for its handle; filled during start-up only, before any
// other thread exists; never shrinks.
std::vector<std::pair<MonitorKind*, std::shared_ptr<Registration>>>& registrations() {
  static auto* list = new std::vector<std::pair<MonitorKind*, std::shared_ptr<Registration>>>();
  return *list;
}

NSApplication* application = nil;  // kept for the life of the process
dispatch_source_t hostWatch = nil;
bool mainLoopEnded = false;         // main thread only
bool standardOutputFailed = false;  // main thread only

// A flags-changed event's keyCode is the modifier key that changed, as
// Chromium reads it; AppKit raises when the characters properties are read
// from one, and only key events need them.
DesktopEvent toDesktopEvent(NSEvent* event) {
  DesktopEvent converted;
  converted.type = 1ULL << event.type;
  converted.modifierFlags = event.modifierFlags;
  bool keyEvent = event.type == NSEventTypeKeyDown || event.type == NSEventTypeKeyUp;
  if (keyEvent || event.type == NSEventTypeFlagsChanged) converted.keyCode = event.keyCode;
  if (keyEvent) {
    // No text, or text that has no UTF-8 form: absent.
    if (const char* characters = event.charactersIgnoringModifiers.UTF8String) {
      converted.charactersIgnoringModifiers = std::string(characters);
    }
  }
  return converted;
}

// The HID system's state table follows the keyboards themselves, not the
// events that reach this process: a key-up that the monitors never got shows
// there all the same. Apple's documentation of CGEventSourceKeyState names no
// privilege that it needs.
bool keyIsDownInHardware(std::uint16_t keyCode) {
  return CGEventSourceKeyState(kCGEventSourceStateHIDSystemState, keyCode);
}

bool isRepeat(NSEvent* event) { return event.type == NSEventTypeKeyDown && event.isARepeat; }

// Hands what the event became to each active monitor of the kind that wants
// it, in order; tells whether every local handler kept the event.
bool deliver(MonitorKind& kind, NSEvent* event) {
  bool kept = true;
  for (const auto& seen : fnKeyTranslation().translate(toDesktopEvent(event), isRepeat(event))) {
    for (const auto& registration : kind.registrations) {
      if (!registration->active.load() || !(registration->mask & seen.type)) continue;
      if (kind.global) {
        registration->globalHandler(seen);
      } else if (registration->localHandler(seen) == nullptr) {
        kept = false;
      }
    }
  }
  return kept;
}

// AppKit's monitor for the kind's events, those of the new registration
// included; the one it replaces is removed.
std::optional<MonitorHandle> add(MonitorKind& kind, std::shared_ptr<Registration> registration) {
  @autoreleasepool {
    EventMask watched = kind.watched | fnKeyTranslation().watchedEvents(registration->mask);
    MonitorKind* served = &kind;
    id monitor =
        kind.global
            ? [NSEvent addGlobalMonitorForEventsMatchingMask:watched
                                                     handler:^(NSEvent* event) {
                                                       deliver(*served, event);
                                                     }]
            : [NSEvent addLocalMonitorForEventsMatchingMask:watched
                                                    handler:^NSEvent*(NSEvent* event) {
                                                      return deliver(*served, event) ? event : nil;
                                                    }];
    // None: the earlier monitor goes on serving the earlier registrations.
    if (monitor == nil) return std::nullopt;
    if (kind.monitor != nil) [NSEvent removeMonitor:kind.monitor];
    kind.monitor = monitor;
    kind.watched = watched;
    kind.registrations.push_back(registration);
    kind.active.fetch_add(1);
    registrations().emplace_back(&kind, std::move(registration));
    return MonitorHandle{registrations().size()};
  }
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
  auto registration = std::make_shared<Registration>();
  registration->mask = mask;
  registration->globalHandler = std::move(handler);
  return add(globalMonitors(), std::move(registration));
}

std::optional<MonitorHandle> addLocalMonitor(EventMask mask, LocalHandler handler) {
  auto registration = std::make_shared<Registration>();
  registration->mask = mask;
  registration->localHandler = std::move(handler);
  return add(localMonitors(), std::move(registration));
}

void setFnKey(FnKey key) { fnKeyTranslation() = macos::FnKeyTranslation(key, keyIsDownInHardware); }

// AppKit's monitor of a kind goes with the last of the core's monitors that
// it serves.
void removeMonitor(MonitorHandle handle) {
  if (handle.id == 0 || handle.id > registrations().size()) return;
  auto& [kind, registration] = registrations()[handle.id - 1];
  if (!registration->active.exchange(false)) return;
  if (kind->active.fetch_sub(1) != 1) return;
  if (!pthread_main_np()) {
    removeOnMainThread(kind->monitor);
    return;
  }
  @autoreleasepool {
    [NSEvent removeMonitor:kind->monitor];
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
