#include "platform/core_motion.h"

#import <CoreMotion/CoreMotion.h>

#include "native_object.h"
#include "task_runners.h"

namespace platform {

struct CMMotionManager::State {
  ::CMMotionManager* manager;
};

CMMotionManager::CMMotionManager()
    : state_(std::make_shared<State>(State{[[::CMMotionManager alloc] init]})) {}

CMMotionManager::~CMMotionManager() {
  [state_->manager stopAccelerometerUpdates];
}

void CMMotionManager::startAccelerometerUpdatesToQueueWithHandler(
    std::shared_ptr<NSOperationQueue> queue, CMAccelerometerHandler handler) noexcept {
  if (!queue || !handler) return;
  auto* runner = dynamic_cast<OperationQueueRunner*>(&queue->runner());
  if (runner == nullptr) return;
  // The block keeps the queue object alive as long as the updates run.
  [state_->manager
      startAccelerometerUpdatesToQueue:runner->operations()
                           withHandler:^(::CMAccelerometerData* data, ::NSError* error) {
                             try {
                               std::shared_ptr<NSOperationQueue> keep = queue;
                               std::shared_ptr<platform::NSError> failure = fromNSError(error);
                               if (data == nil) {
                                 handler(nullptr, failure.get());
                                 return;
                               }
                               const ::CMAcceleration a = [data acceleration];
                               const CMAccelerometerData sample({a.x, a.y, a.z});
                               handler(&sample, failure.get());
                             } catch (...) {
                               // A sample never takes the host down.
                             }
                           }];
}

void CMMotionManager::stopAccelerometerUpdates() noexcept {
  [state_->manager stopAccelerometerUpdates];
}

bool CMMotionManager::isAccelerometerActive() const noexcept {
  return [state_->manager isAccelerometerActive];
}

}  // namespace platform
