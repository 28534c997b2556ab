// The desktop on macOS: AppKit's event monitors, the Accessibility trust
// query, and the main run loop, which also ends when the host is gone.
#import <AppKit/AppKit.h>
#import <ApplicationServices/ApplicationServices.h>
#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#include <atomic>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/process.h"

namespace qen::platform {
namespace {

static_assert(functionKeyFlag == NSEventModifierFlagFunction);
static_assert(keyDownMask == NSEventMaskKeyDown);
static_assert(flagsChangedMask == NSEventMaskFlagsChanged);

// One registered monitor. The block checks `active`, so that no handler
// starts after removeMonitor(), which may run on the signal queue while the
// main thread delivers an event.
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
bool hostGone = false;              // main thread only
bool standardOutputFailed = false;  // main thread only

DesktopEvent toDesktopEvent(NSEvent* event) {
  DesktopEvent converted;
  converted.type = 1ULL << event.type;
  converted.modifierFlags = event.modifierFlags;
  // AppKit raises when key data is read from a flags-changed event.
  if (event.type == NSEventTypeKeyDown) {
    converted.keyCode = event.keyCode;
    // No text, or text that has no UTF-8 form: absent.
    if (const char* characters = event.charactersIgnoringModifiers.UTF8String) {
      converted.charactersIgnoringModifiers = std::string(characters);
    }
  }
  return converted;
}

std::optional<MonitorHandle> remember(id monitor, std::shared_ptr<Registration> registration) {
  if (monitor == nil) return std::nullopt;
  registration->monitor = monitor;
  registrations().push_back(std::move(registration));
  return MonitorHandle{registrations().size()};
}

void endMainLoop() {
  hostGone = true;
  CFRunLoopStop(CFRunLoopGetMain());
}

}  // namespace

std::optional<MonitorHandle> addGlobalMonitor(EventMask mask, GlobalHandler handler) {
  auto registration = std::make_shared<Registration>();
  id monitor = [NSEvent addGlobalMonitorForEventsMatchingMask:mask
                                                      handler:^(NSEvent* event) {
                                                        if (!registration->active.load()) return;
                                                        handler(toDesktopEvent(event));
                                                      }];
  return remember(monitor, registration);
}

std::optional<MonitorHandle> addLocalMonitor(EventMask mask, LocalHandler handler) {
  auto registration = std::make_shared<Registration>();
  id monitor = [NSEvent addLocalMonitorForEventsMatchingMask:mask
                                                     handler:^NSEvent*(NSEvent* event) {
                                                       if (!registration->active.load()) {
                                                         return event;
                                                       }
                                                       DesktopEvent converted =
                                                           toDesktopEvent(event);
                                                       return handler(converted) ? event : nil;
                                                     }];
  return remember(monitor, registration);
}

void removeMonitor(MonitorHandle handle) {
  if (handle.id == 0 || handle.id > registrations().size()) return;
  Registration& registration = *registrations()[handle.id - 1];
  registration.active.store(false);
  [NSEvent removeMonitor:registration.monitor];
}

bool isProcessTrusted(const TrustQueryOptions& options) {
  const void* keys[] = {kAXTrustedCheckOptionPrompt};
  const void* values[] = {options.prompt ? kCFBooleanTrue : kCFBooleanFalse};
  NSDictionary* trustOptions = (__bridge_transfer NSDictionary*)CFDictionaryCreate(
      kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
      &kCFTypeDictionaryValueCallBacks);
  return AXIsProcessTrustedWithOptions((__bridge CFDictionaryRef)trustOptions) != 0;
}

void becomeAccessoryApplication() {
  application = [NSApplication sharedApplication];
  [application setActivationPolicy:NSApplicationActivationPolicyAccessory];
}

// The host's exit arrives as a Dispatch event on the main queue, which the
// main run loop serves; nothing polls.
void prepareProcess() {
  posix::prepareStandardOutput();
  auto host = posix::hostProcess();
  if (!host) return;
  hostWatch = dispatch_source_create(DISPATCH_SOURCE_TYPE_PROC, static_cast<uintptr_t>(*host),
                                     DISPATCH_PROC_EXIT, dispatch_get_main_queue());
  dispatch_source_set_event_handler(hostWatch, ^{
    endMainLoop();
  });
  dispatch_resume(hostWatch);
  if (!posix::isStillParent(*host)) hostGone = true;  // it died before the watch was set
}

void runMainLoop() {
  NSRunLoop* loop = [NSRunLoop mainRunLoop];
  while (!hostGone) {
    @autoreleasepool {
      [loop runMode:NSDefaultRunLoopMode beforeDate:[NSDate distantFuture]];
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
