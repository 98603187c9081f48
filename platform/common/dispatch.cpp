// Dispatch queues as serial queues of the platform.
#include "platform/dispatch.h"

namespace platform {

dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t /*attr*/) noexcept {
  try {
    return createSerialQueue(label ? label : "");
  } catch (...) {
    return nullptr;
  }
}

void dispatch_async(const dispatch_queue_t& queue, std::function<void()> block) noexcept {
  if (!queue) return;
  try {
    queue->postDelayedTask(std::move(block), Duration{0});
  } catch (...) {
  }
}

}  // namespace platform
