#include "platform/preferences_framework.h"

#include "native_bridge.h"
#include "native_object.h"
#include "platform/ios/bridged_controllers.h"

// A row of a settings page, from the private Preferences framework.
@interface PSSpecifier : NSObject
- (NSMutableDictionary*)properties;
@end

@implementation TonewellBridgedListController {
  std::shared_ptr<platform::PSListController> _twin;
}

- (platform::PSListController*)controller {
  if (!_twin) {
    try {
      _twin = std::dynamic_pointer_cast<platform::PSListController>(
          platform::instantiateClassNamed(NSStringFromClass([self class]).UTF8String));
      if (!_twin) _twin = std::make_shared<platform::PSListController>();
      platform::bindNativeOwner(*_twin, self);
    } catch (...) {
      return nullptr;
    }
  }
  return _twin.get();
}

- (::id)specifiers {
  // The Settings application reads the rows from the list's own instance variable.
  if (_specifiers) return _specifiers;
  NSMutableArray* rows = [NSMutableArray array];
  try {
    platform::PSListController* twin = [self controller];
    // A list that could not be loaded is not kept: the next call tries again.
    if (auto list = twin ? twin->specifiers() : nullptr) {
      for (const auto& specifier : *list) {
        if (::id native = platform::nativeOf(specifier.get())) [rows addObject:native];
      }
      _specifiers = rows;
    }
  } catch (...) {
  }
  return rows;
}

- (void)performTwinAction:(const char*)selector {
  try {
    if (platform::PSListController* twin = [self controller]) {
      twin->performSelectorWithObject(selector, nullptr);
    }
  } catch (...) {
  }
}

@end

namespace platform {

std::shared_ptr<SpecifierArray> PSListController::loadSpecifiersFromPlistNameTarget(
    const std::string& name, NSObject* target) {
  ::PSListController* list = nativeOf(this);
  if (list == nil || name.empty()) return nullptr;
  @autoreleasepool {
    NSArray* natives = [list loadSpecifiersFromPlistName:toNSString(name) target:nativeOf(target)];
    if (natives == nil) return nullptr;
    auto specifiers = std::make_shared<SpecifierArray>();
    for (::id native in natives) {
      Value properties;
      NSDictionary* stored = [native respondsToSelector:@selector(properties)]
                                 ? [(::PSSpecifier*)native properties]
                                 : nil;
      const Dictionary* dictionary =
          toValue(stored, &properties) ? properties.getIf<Dictionary>() : nullptr;
      auto specifier = std::make_shared<PSSpecifier>(dictionary ? *dictionary : Dictionary());
      specifier->setTarget(target);
      bindNative(*specifier, native);
      specifiers->push_back(std::move(specifier));
    }
    return specifiers;
  }
}

void PSListController::pushControllerAnimate(std::shared_ptr<UIViewController> controller,
                                             bool animate) {
  ::PSListController* list = nativeOf(this);
  ::UIViewController* pushed = nativeController(controller);
  if (list != nil && pushed != nil) [list pushController:pushed animate:animate];
}

}  // namespace platform
