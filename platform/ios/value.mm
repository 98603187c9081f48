#include "native_object.h"

#include <cstdint>

namespace platform {

NSString* toNSString(std::string_view text) {
  NSString* s = [[NSString alloc] initWithBytes:text.data()
                                         length:text.size()
                                       encoding:NSUTF8StringEncoding];
  return s ? s : @"";
}

std::string fromNSString(NSString* text) {
  if (text == nil) return std::string();
  const char* utf8 = [text UTF8String];
  return utf8 ? std::string(utf8) : std::string();
}

bool toValue(::id object, Value* out) {
  if (object == nil) return false;
  if ([object isKindOfClass:[NSString class]]) {
    *out = Value(fromNSString(object));
    return true;
  }
  if ([object isKindOfClass:[NSNumber class]]) {
    NSNumber* number = object;
    // CFBoolean answers as a number; keep it a boolean, as the stored type says.
    if (CFGetTypeID((__bridge CFTypeRef)number) == CFBooleanGetTypeID()) {
      *out = Value(static_cast<bool>([number boolValue]));
    } else if (CFNumberIsFloatType((__bridge CFNumberRef)number)) {
      *out = Value([number doubleValue]);
    } else {
      *out = Value(static_cast<std::int64_t>([number longLongValue]));
    }
    return true;
  }
  if ([object isKindOfClass:[NSDate class]]) {
    *out = Value(Date{[(NSDate*)object timeIntervalSinceReferenceDate]});
    return true;
  }
  if ([object isKindOfClass:[NSData class]]) {
    NSData* data = object;
    const auto* bytes = static_cast<const std::uint8_t*>([data bytes]);
    *out = Value(Data(bytes, bytes + [data length]));
    return true;
  }
  if ([object isKindOfClass:[NSArray class]]) {
    Array array;
    for (::id item in (NSArray*)object) {
      Value v;
      if (toValue(item, &v)) array.push_back(std::move(v));
    }
    *out = Value(std::move(array));
    return true;
  }
  if ([object isKindOfClass:[NSDictionary class]]) {
    Dictionary dictionary;
    NSDictionary* d = object;
    for (::id key in d) {
      Value v;
      if ([key isKindOfClass:[NSString class]] && toValue(d[key], &v)) {
        dictionary.setObjectForKey(std::move(v), fromNSString(key));
      }
    }
    *out = Value(std::move(dictionary));
    return true;
  }
  return false;
}

::id toPropertyList(const Value& value) {
  if (const bool* b = value.getIf<bool>()) return @(*b);
  if (const std::int64_t* i = value.getIf<std::int64_t>()) return @(*i);
  if (const double* d = value.getIf<double>()) return @(*d);
  if (const std::string* s = value.getIf<std::string>()) return toNSString(*s);
  if (const Date* date = value.getIf<Date>()) {
    return [NSDate dateWithTimeIntervalSinceReferenceDate:date->secondsSinceReferenceDate];
  }
  if (const Data* data = value.getIf<Data>()) {
    return [NSData dataWithBytes:data->data() length:data->size()];
  }
  if (const Array* array = value.getIf<Array>()) {
    NSMutableArray* out = [NSMutableArray arrayWithCapacity:array->size()];
    for (const Value& item : *array) [out addObject:toPropertyList(item)];
    return out;
  }
  const auto& dictionary = *value.getIf<Dictionary>();
  NSMutableDictionary* out = [NSMutableDictionary dictionaryWithCapacity:dictionary.count()];
  for (std::size_t i = 0; i < dictionary.count(); ++i) {
    out[toNSString(dictionary.allKeys()[i])] = toPropertyList(dictionary.valueAt(i));
  }
  return out;
}

std::shared_ptr<NSError> fromNSError(::NSError* error) {
  if (error == nil) return nullptr;
  return std::make_shared<NSError>(fromNSString([error domain]), static_cast<long>([error code]),
                                   fromNSString([error localizedDescription]));
}

}  // namespace platform
