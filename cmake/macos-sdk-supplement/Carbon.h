// Carbon's umbrella header, as far as the helper uses it, written from
// Apple's documentation: HIToolbox's IsSecureEventInputEnabled (Carbon
// Events), which Carbon re-exports.
#ifndef QEN_SUPPLEMENT_CARBON_H
#define QEN_SUPPLEMENT_CARBON_H
#include <CoreFoundation/CoreFoundation.h>
CF_EXTERN_C_BEGIN
Boolean IsSecureEventInputEnabled(void);
CF_EXTERN_C_END
#endif
