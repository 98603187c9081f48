// A simulated frame's attachments, as the cameras made them.
#include "platform/core_media.h"

#include "platform/sim/sample_buffer.h"

namespace platform {

const Value* CMGetAttachment(CMSampleBufferRef buffer, std::string_view key,
                             std::uint32_t* attachmentModeOut) noexcept {
  if (attachmentModeOut) *attachmentModeOut = 0;
  if (buffer == nullptr) return nullptr;
  return buffer->attachments.objectForKey(key);
}

}  // namespace platform
