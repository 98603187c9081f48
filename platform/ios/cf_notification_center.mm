#include "platform/cf_notification_center.h"

#include <CoreFoundation/CoreFoundation.h>

#include <new>

#include "native_object.h"

namespace platform {

namespace {

// What an observer registered through us needs: its own callback and observer pointer.
struct Observation {
  CFNotificationCallback callback;
  void* observer;
};

void relay(::CFNotificationCenterRef, void* context, CFStringRef name, const void* object,
           CFDictionaryRef userInfo) {
  try {
    @autoreleasepool {
      Value info;
      const bool hasInfo = userInfo && toValue((__bridge NSDictionary*)userInfo, &info);
      const std::string nameText = fromNSString((__bridge NSString*)name);
      const auto* observation = static_cast<const Observation*>(context);
      observation->callback(CFNotificationCenterGetLocalCenter(), observation->observer, nameText,
                            object, hasInfo ? info.getIf<Dictionary>() : nullptr);
    }
  } catch (...) {
    // A notification never takes the host down.
  }
}

}  // namespace

CFNotificationCenterRef CFNotificationCenterGetLocalCenter() noexcept {
  return reinterpret_cast<CFNotificationCenterRef>(::CFNotificationCenterGetLocalCenter());
}

void CFNotificationCenterAddObserver(CFNotificationCenterRef center, void* observer,
                                     CFNotificationCallback callback, CFNotificationName name,
                                     const void* object,
                                     CFNotificationSuspensionBehavior suspensionBehavior) noexcept {
  if (center == nullptr || callback == nullptr) return;
  try {
    // Observers live as long as the process: the observation is never freed.
    auto* observation = new Observation{callback, observer};
    NSString* nameText = name.empty() ? nil : toNSString(name);
    ::CFNotificationCenterAddObserver(
        reinterpret_cast<::CFNotificationCenterRef>(center), observation, &relay,
        (__bridge CFStringRef)nameText, object,
        static_cast<::CFNotificationSuspensionBehavior>(suspensionBehavior));
  } catch (...) {
  }
}

void CFNotificationCenterPostNotification(CFNotificationCenterRef center, CFNotificationName name,
                                          const void* object, const Dictionary* userInfo,
                                          bool deliverImmediately) noexcept {
  if (center == nullptr) return;
  try {
    @autoreleasepool {
      ::id info = userInfo ? toPropertyList(Value(*userInfo)) : nil;
      ::CFNotificationCenterPostNotification(reinterpret_cast<::CFNotificationCenterRef>(center),
                                             (__bridge CFStringRef)toNSString(name), object,
                                             (__bridge CFDictionaryRef)info, deliverImmediately);
    }
  } catch (...) {
  }
}

}  // namespace platform
