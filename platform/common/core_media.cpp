// Reading the values of a frame's attachments, the same on every platform.
#include "platform/core_media.h"

namespace platform {

const Value* CFDictionaryGetValue(const Value* dictionary, std::string_view key) noexcept {
  if (dictionary == nullptr) return nullptr;
  const auto* dict = dictionary->getIf<Dictionary>();
  return dict ? dict->objectForKey(key) : nullptr;
}

bool CFNumberGetValue(const Value* number, CFNumberType type, void* valuePtr) noexcept {
  if (number == nullptr || valuePtr == nullptr) return false;
  double d = 0;
  if (const auto* i = number->getIf<std::int64_t>()) {
    d = static_cast<double>(*i);
  } else if (const auto* r = number->getIf<double>()) {
    d = *r;
  } else {
    return false;
  }
  switch (type) {
    case kCFNumberDoubleType:
      *static_cast<double*>(valuePtr) = d;
      return true;
    case kCFNumberFloat32Type:
      *static_cast<float*>(valuePtr) = static_cast<float>(d);
      return true;
    case kCFNumberSInt32Type:
      if (!(d >= -2147483648.0 && d <= 2147483647.0)) return false;
      *static_cast<std::int32_t*>(valuePtr) = static_cast<std::int32_t>(d);
      return true;
  }
  return false;
}

}  // namespace platform
