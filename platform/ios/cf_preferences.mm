#include "platform/cf_preferences.h"

#include <CoreFoundation/CoreFoundation.h>

#include "native_object.h"

namespace platform {

namespace {

CFStringRef currentUser(std::string_view user) {
  return user == kCFPreferencesCurrentUser ? ::kCFPreferencesCurrentUser : ::kCFPreferencesAnyUser;
}

CFStringRef anyHost(std::string_view host) {
  return host == kCFPreferencesAnyHost ? ::kCFPreferencesAnyHost : ::kCFPreferencesCurrentHost;
}

}  // namespace

std::optional<std::vector<std::string>> CFPreferencesCopyKeyList(std::string_view domain,
                                                                 std::string_view user,
                                                                 std::string_view host) noexcept {
  try {
    @autoreleasepool {
      NSString* application = toNSString(domain);
      // Another process (the Settings pane) writes the domain: drop what this one has cached.
      ::CFPreferencesSynchronize((__bridge CFStringRef)application, currentUser(user),
                                 anyHost(host));
      // The phone answers NULL both for an empty domain and for one it cannot read; both
      // count as empty here.
      NSArray* keys = CFBridgingRelease(::CFPreferencesCopyKeyList(
          (__bridge CFStringRef)application, currentUser(user), anyHost(host)));
      std::vector<std::string> out;
      for (::id key in keys) {
        if ([key isKindOfClass:[NSString class]]) out.push_back(fromNSString(key));
      }
      return out;
    }
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<Dictionary> CFPreferencesCopyMultiple(const std::vector<std::string>& keys,
                                                    std::string_view domain, std::string_view user,
                                                    std::string_view host) noexcept {
  try {
    @autoreleasepool {
      NSMutableArray* wanted = [NSMutableArray arrayWithCapacity:keys.size()];
      for (const std::string& key : keys) [wanted addObject:toNSString(key)];
      NSDictionary* values = CFBridgingRelease(::CFPreferencesCopyMultiple(
          (__bridge CFArrayRef)wanted, (__bridge CFStringRef)toNSString(domain), currentUser(user),
          anyHost(host)));
      Value converted;
      if (values == nil || !toValue(values, &converted)) return Dictionary();
      const auto* dictionary = converted.getIf<Dictionary>();
      return dictionary ? *dictionary : Dictionary();
    }
  } catch (...) {
    return std::nullopt;
  }
}

bool CFPreferencesSetValue(std::string_view key, const Value* value, std::string_view domain,
                           std::string_view user, std::string_view host) noexcept {
  try {
    @autoreleasepool {
      NSString* application = toNSString(domain);
      ::id stored = value ? toPropertyList(*value) : nil;
      ::CFPreferencesSetValue((__bridge CFStringRef)toNSString(key),
                              (__bridge CFPropertyListRef)stored, (__bridge CFStringRef)application,
                              currentUser(user), anyHost(host));
      return ::CFPreferencesSynchronize((__bridge CFStringRef)application, currentUser(user),
                                        anyHost(host));
    }
  } catch (...) {
    return false;
  }
}

}  // namespace platform
