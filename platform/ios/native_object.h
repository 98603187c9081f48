// The phone's binding: our objects hold the phone's own object behind them, and values cross
// between the platform's property lists (NSNumber, NSString, ...) and ours.
#pragma once

#import <Foundation/Foundation.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/ns_object.h"
#include "platform/value.h"

namespace platform {

// Views, inputs and outputs are owned by our object; a controller owns our object instead (it is
// what the phone keeps on its navigation stack), so ours refers to it weakly.
struct NativeObject {
  ::id owned;
  __weak ::id owner;
};

// The phone's object behind `object`, or nil when there is none (yet, or any more).
inline ::id nativeOf(const NSObject* object) {
  if (object == nullptr || !object->native()) return nil;
  return object->native()->owned ? object->native()->owned : object->native()->owner;
}

inline void bindNative(NSObject& object, ::id native) {
  object.setNative(std::make_shared<NativeObject>(NativeObject{native, nil}));
}

inline void bindNativeOwner(NSObject& object, ::id owner) {
  auto binding = std::make_shared<NativeObject>();
  binding->owner = owner;
  object.setNative(std::move(binding));
}

NSString* toNSString(std::string_view text);
std::string fromNSString(NSString* text);

// A property-list object as a value; nil or an object of another class gives none (false).
bool toValue(::id object, Value* out);
// A value as a property-list object.
::id toPropertyList(const Value& value);

// The error a Foundation NSError describes.
std::shared_ptr<NSError> fromNSError(::NSError* error);

}  // namespace platform
