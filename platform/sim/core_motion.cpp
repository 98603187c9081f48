#include "platform/core_motion.h"

#include <mutex>

#include "phone_state.h"

namespace platform {

struct CMMotionManager::State : std::enable_shared_from_this<CMMotionManager::State> {
  std::mutex mutex;
  bool active = false;
  std::uint64_t generation = 0;  // bumped by every start and stop; stale samples see a change
  std::shared_ptr<NSOperationQueue> queue;
  CMAccelerometerHandler handler;

  void scheduleSample(std::uint64_t forGeneration, Duration interval) {
    std::shared_ptr<NSOperationQueue> target;
    {
      std::lock_guard lock(mutex);
      if (!active || generation != forGeneration) return;
      target = queue;
    }
    target->runner().postDelayedTask(
        [self = shared_from_this(), forGeneration] { self->deliverSample(forGeneration); },
        interval, this);
  }

  void deliverSample(std::uint64_t forGeneration) {
    CMAccelerometerHandler callback;
    {
      std::lock_guard lock(mutex);
      if (!active || generation != forGeneration) return;
      callback = handler;
    }
    std::optional<CMAcceleration> acceleration;
    Duration interval;
    {
      auto& phone = sim::currentPhone().state;
      std::lock_guard lock(phone.mutex);
      acceleration = phone.acceleration;
      interval = phone.accelerometerInterval;
    }
    if (acceleration) {
      const CMAccelerometerData data(*acceleration);
      callback(&data, nullptr);
    } else {
      callback(nullptr, nullptr);
    }
    scheduleSample(forGeneration, interval);
  }
};

CMMotionManager::CMMotionManager() : state_(std::make_shared<State>()) {}

CMMotionManager::~CMMotionManager() {
  stopAccelerometerUpdates();
}

void CMMotionManager::startAccelerometerUpdatesToQueueWithHandler(
    std::shared_ptr<NSOperationQueue> queue, CMAccelerometerHandler handler) noexcept {
  if (!queue || !handler) return;
  try {
    std::shared_ptr<NSOperationQueue> previous;
    std::uint64_t generation = 0;
    {
      std::lock_guard lock(state_->mutex);
      previous = std::move(state_->queue);
      state_->queue = std::move(queue);
      state_->handler = std::move(handler);
      state_->active = true;
      generation = ++state_->generation;
    }
    if (previous) previous->runner().cancelTasksWithTag(state_.get());
    Duration interval;
    {
      auto& phone = sim::currentPhone().state;
      std::lock_guard lock(phone.mutex);
      interval = phone.accelerometerInterval;
    }
    state_->scheduleSample(generation, interval);
  } catch (...) {
  }
}

void CMMotionManager::stopAccelerometerUpdates() noexcept {
  std::shared_ptr<NSOperationQueue> queue;
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->active) return;
    state_->active = false;
    ++state_->generation;
    queue = std::move(state_->queue);
  }
  if (queue) queue->runner().cancelTasksWithTag(state_.get());
}

bool CMMotionManager::isAccelerometerActive() const noexcept {
  std::lock_guard lock(state_->mutex);
  return state_->active;
}

}  // namespace platform
