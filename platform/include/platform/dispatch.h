// Dispatch queues.
#pragma once

#include <functional>
#include <memory>

#include "platform/task_runner.h"

namespace platform {

using dispatch_queue_t = std::shared_ptr<TaskRunner>;
using dispatch_queue_attr_t = const void*;

// A new serial queue labelled `label`; `attr` null gives a serial queue.
dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr) noexcept;

void dispatch_async(const dispatch_queue_t& queue, std::function<void()> block) noexcept;

}  // namespace platform
