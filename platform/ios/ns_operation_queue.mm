#include "platform/ns_operation_queue.h"

#import <Foundation/Foundation.h>

#include "task_runners.h"

namespace platform {

NSOperationQueue::NSOperationQueue() {
  ::NSOperationQueue* operations = [[::NSOperationQueue alloc] init];
  [operations setMaxConcurrentOperationCount:1];
  runner_ = std::make_shared<OperationQueueRunner>(operations);
}

void NSOperationQueue::addOperationWithBlock(std::function<void()> block) {
  runner_->postDelayedTask(std::move(block), Duration{0});
}

}  // namespace platform
