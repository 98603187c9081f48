// CoreMotion: the accelerometer.
#pragma once

#include <functional>
#include <memory>

#include "platform/ns_object.h"
#include "platform/ns_operation_queue.h"

namespace platform {

struct CMAcceleration {
  double x = 0;  // in units of g
  double y = 0;
  double z = 0;
};

class CMAccelerometerData : public NSObject {
 public:
  explicit CMAccelerometerData(CMAcceleration acceleration) : acceleration_(acceleration) {}
  const char* className() const override { return "CMAccelerometerData"; }
  CMAcceleration acceleration() const { return acceleration_; }

 private:
  CMAcceleration acceleration_;
};

// The handler of each sample, as the phone's block is: it may carry state of its own (the
// monitor's is a plain function). `data` is null for a sample without data; `error` may be null.
using CMAccelerometerHandler =
    std::function<void(const CMAccelerometerData* data, const NSError* error)>;

class CMMotionManager : public NSObject {
 public:
  CMMotionManager();
  ~CMMotionManager() override;
  const char* className() const override { return "CMMotionManager"; }

  // Delivers a sample to `handler` on `queue` every update interval, the first one interval
  // from now, until stopAccelerometerUpdates. Starting again replaces the queue and handler.
  void startAccelerometerUpdatesToQueueWithHandler(std::shared_ptr<NSOperationQueue> queue,
                                                   CMAccelerometerHandler handler) noexcept;

  // No sample is delivered after this returns, except one whose delivery had already begun.
  void stopAccelerometerUpdates() noexcept;

  bool isAccelerometerActive() const noexcept;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform
