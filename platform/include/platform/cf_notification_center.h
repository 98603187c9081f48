// The process-local notification center, and CoreTelephony's own center, where the telephony
// server posts call status.
#pragma once

#include <string_view>

#include "platform/value.h"

namespace platform {

struct NotificationCenter;
using CFNotificationCenterRef = NotificationCenter*;
using CFNotificationName = std::string_view;

// The callback of an observer. `userInfo` may be null.
using CFNotificationCallback = void (*)(CFNotificationCenterRef center, void* observer,
                                        CFNotificationName name, const void* object,
                                        const Dictionary* userInfo);

enum CFNotificationSuspensionBehavior {
  CFNotificationSuspensionBehaviorDrop = 1,
  CFNotificationSuspensionBehaviorCoalesce = 2,
  CFNotificationSuspensionBehaviorHold = 3,
  CFNotificationSuspensionBehaviorDeliverImmediately = 4,
};

// The process-local center; the same object for the life of the process.
CFNotificationCenterRef CFNotificationCenterGetLocalCenter() noexcept;

// From now on `callback` is called, on the posting thread, for every notification named `name`
// (every name when empty) posted from `object` (from any sender when null).
void CFNotificationCenterAddObserver(CFNotificationCenterRef center, void* observer,
                                     CFNotificationCallback callback, CFNotificationName name,
                                     const void* object,
                                     CFNotificationSuspensionBehavior suspensionBehavior) noexcept;

// CoreTelephony's center: the telephony server posts "kCTCallStatusChangeNotification" there, not
// on the local center. Looked up at run time, as the telephony framework is not linked; null where
// it cannot be found.
CFNotificationCenterRef CTTelephonyCenterGetDefault() noexcept;

// As CFNotificationCenterAddObserver, on CoreTelephony's center.
void CTTelephonyCenterAddObserver(CFNotificationCenterRef center, void* observer,
                                  CFNotificationCallback callback, CFNotificationName name,
                                  const void* object,
                                  CFNotificationSuspensionBehavior suspensionBehavior) noexcept;

// Calls every matching observer, in the order they were added, on the calling thread.
void CFNotificationCenterPostNotification(CFNotificationCenterRef center, CFNotificationName name,
                                          const void* object, const Dictionary* userInfo,
                                          bool deliverImmediately) noexcept;

}  // namespace platform
