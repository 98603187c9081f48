#include "platform/ns_operation_queue.h"

#include "platform/dispatch.h"

namespace platform {

NSOperationQueue::NSOperationQueue() : runner_(createSerialQueue("NSOperationQueue")) {}

void NSOperationQueue::addOperationWithBlock(std::function<void()> block) {
  runner_->postDelayedTask(std::move(block), Duration{0});
}

}  // namespace platform
