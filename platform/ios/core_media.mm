#include "platform/core_media.h"

#import <Foundation/Foundation.h>

#include "native_object.h"
#include "sample_buffer.h"

namespace platform {

const Value* CMGetAttachment(CMSampleBufferRef buffer, std::string_view key,
                             std::uint32_t* attachmentModeOut) noexcept {
  if (attachmentModeOut) *attachmentModeOut = 0;
  if (buffer == nullptr) return nullptr;
  try {
    auto* frame = const_cast<opaqueCMSampleBuffer*>(buffer);
    for (const auto& [name, value] : frame->converted) {
      if (name == key) return &value;
    }
    @autoreleasepool {
      ::CMAttachmentMode mode = 0;
      ::id attachment = (__bridge ::id)::CMGetAttachment(
          frame->buffer, (__bridge CFStringRef)toNSString(key), &mode);
      Value value;
      if (!toValue(attachment, &value)) return nullptr;
      if (attachmentModeOut) *attachmentModeOut = mode;
      frame->converted.emplace_back(std::string(key), std::move(value));
      return &frame->converted.back().second;
    }
  } catch (...) {
    return nullptr;
  }
}

}  // namespace platform
