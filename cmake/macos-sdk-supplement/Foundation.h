// Declarations the helper needs beyond the SDK's Foundation headers, written
// from Apple's documentation of each: NSProcessInfo's activities
// (beginActivityWithOptions:reason:) and the NSActivityOptions it takes, with
// the values Apple gives them. No symbol: the method is sent, not linked.
#ifndef QEN_SUPPLEMENT_FOUNDATION_H
#define QEN_SUPPLEMENT_FOUNDATION_H
#if defined(__OBJC__)
NS_ASSUME_NONNULL_BEGIN
typedef NS_OPTIONS(uint64_t, NSActivityOptions) {
  NSActivityIdleDisplaySleepDisabled = (1ULL << 40),
  NSActivityIdleSystemSleepDisabled = (1ULL << 20),
  NSActivityUserInitiated = (0x00FFFFFFULL | NSActivityIdleSystemSleepDisabled),
  NSActivityUserInitiatedAllowingIdleSystemSleep = (NSActivityUserInitiated &
                                                    ~NSActivityIdleSystemSleepDisabled),
};
@interface NSProcessInfo (NSProcessInfoActivity)
- (id<NSObject>)beginActivityWithOptions:(NSActivityOptions)options reason:(NSString *)reason;
@end
NS_ASSUME_NONNULL_END
#endif
#endif
