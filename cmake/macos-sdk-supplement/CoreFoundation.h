// Declarations the helper needs beyond the SDK's CoreFoundation headers,
// written from Apple's documentation of each: CFPreferences
// (CFPreferencesCopyAppValue, CFPropertyListRef) and CFBoolean
// (CFBooleanGetTypeID).
#ifndef QEN_SUPPLEMENT_COREFOUNDATION_H
#define QEN_SUPPLEMENT_COREFOUNDATION_H
CF_EXTERN_C_BEGIN
typedef CFTypeRef CFPropertyListRef;
CF_EXPORT CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID)
    CF_RETURNS_RETAINED;
CF_EXPORT CFTypeID CFBooleanGetTypeID(void);
CF_EXTERN_C_END
#endif
