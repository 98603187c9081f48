// The process-local notification center.
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

// Calls every matching observer, in the order they were added, on the calling thread.
void CFNotificationCenterPostNotification(CFNotificationCenterRef center, CFNotificationName name,
                                          const void* object, const Dictionary* userInfo,
                                          bool deliverImmediately) noexcept;

}  // namespace platform
