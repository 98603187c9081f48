#include "platform/cf_notification_center.h"

#include <CoreFoundation/CoreFoundation.h>

#include <dlfcn.h>

#include <new>

#include "native_object.h"

namespace platform {

namespace {

// What an observer registered through us needs: its own callback and observer pointer.
struct Observation {
  CFNotificationCallback callback;
  void* observer;
};

void relay(::CFNotificationCenterRef center, void* context, CFStringRef name, const void* object,
           CFDictionaryRef userInfo) {
  try {
    @autoreleasepool {
      Value info;
      const bool hasInfo = userInfo && toValue((__bridge NSDictionary*)userInfo, &info);
      const std::string nameText = fromNSString((__bridge NSString*)name);
      const auto* observation = static_cast<const Observation*>(context);
      observation->callback(reinterpret_cast<CFNotificationCenterRef>(center),
                            observation->observer, nameText, object,
                            hasInfo ? info.getIf<Dictionary>() : nullptr);
    }
  } catch (...) {
    // A notification never takes the host down.
  }
}

// CoreTelephony's exports, which its headers do not declare.
using TelephonyCenterGetDefault = ::CFNotificationCenterRef (*)();
using TelephonyCenterAddObserver = void (*)(::CFNotificationCenterRef, const void*,
                                            ::CFNotificationCallback, CFStringRef, const void*,
                                            ::CFNotificationSuspensionBehavior);

// SpringBoard has CoreTelephony loaded; the look-up opens it only where it has not.
void* telephonySymbol(const char* name) {
  if (void* symbol = ::dlsym(RTLD_DEFAULT, name)) return symbol;
  static void* const framework =
      ::dlopen("/System/Library/Frameworks/CoreTelephony.framework/CoreTelephony", RTLD_LAZY);
  return framework ? ::dlsym(framework, name) : nullptr;
}

// What both centers' add-observer functions do with our arguments.
template <typename Add>
void addObserver(Add add, CFNotificationCenterRef center, void* observer,
                 CFNotificationCallback callback, CFNotificationName name, const void* object,
                 CFNotificationSuspensionBehavior suspensionBehavior) noexcept {
  if (center == nullptr || callback == nullptr) return;
  try {
    // Observers live as long as the process: the observation is never freed.
    auto* observation = new Observation{callback, observer};
    NSString* nameText = name.empty() ? nil : toNSString(name);
    add(reinterpret_cast<::CFNotificationCenterRef>(center), observation, &relay,
        (__bridge CFStringRef)nameText, object,
        static_cast<::CFNotificationSuspensionBehavior>(suspensionBehavior));
  } catch (...) {
  }
}

}  // namespace

CFNotificationCenterRef CTTelephonyCenterGetDefault() noexcept {
  const auto getDefault =
      reinterpret_cast<TelephonyCenterGetDefault>(telephonySymbol("CTTelephonyCenterGetDefault"));
  return getDefault ? reinterpret_cast<CFNotificationCenterRef>(getDefault()) : nullptr;
}

void CTTelephonyCenterAddObserver(CFNotificationCenterRef center, void* observer,
                                  CFNotificationCallback callback, CFNotificationName name,
                                  const void* object,
                                  CFNotificationSuspensionBehavior suspensionBehavior) noexcept {
  const auto add =
      reinterpret_cast<TelephonyCenterAddObserver>(telephonySymbol("CTTelephonyCenterAddObserver"));
  if (add == nullptr) return;
  addObserver(add, center, observer, callback, name, object, suspensionBehavior);
}

CFNotificationCenterRef CFNotificationCenterGetLocalCenter() noexcept {
  return reinterpret_cast<CFNotificationCenterRef>(::CFNotificationCenterGetLocalCenter());
}

void CFNotificationCenterAddObserver(CFNotificationCenterRef center, void* observer,
                                     CFNotificationCallback callback, CFNotificationName name,
                                     const void* object,
                                     CFNotificationSuspensionBehavior suspensionBehavior) noexcept {
  addObserver(&::CFNotificationCenterAddObserver, center, observer, callback, name, object,
              suspensionBehavior);
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
