#include "platform/ns_object.h"

#include <fmt/format.h>

#include <optional>

#include "platform/ns_log.h"
#include "platform/task_runner.h"
#include "virtual_scheduler.h"

namespace platform {

std::string NSObject::description() const {
  return fmt::format("<{}: {}>", className(), static_cast<const void*>(this));
}

bool NSObject::performSelectorWithObject(SEL /*selector*/, const Value* /*object*/) {
  return false;
}

namespace {

// What a queued request needs to run later: the receiver (kept alive when it is shared), the
// selector and a copy of the object.
std::function<void()> makeRequest(NSObject* target, SEL selector, const Value* object) {
  std::shared_ptr<NSObject> keepAlive = target->weak_from_this().lock();
  std::optional<Value> argument;
  if (object != nullptr) argument = *object;
  return [target, keepAlive = std::move(keepAlive), selector, argument = std::move(argument)] {
    if (!target->performSelectorWithObject(selector, argument ? &*argument : nullptr)) {
      NSLog("-[%s %s]: unrecognized selector sent to instance %p", target->className(), selector,
            static_cast<const void*>(target));
    }
  };
}

}  // namespace

void NSObject::performSelectorWithObjectAfterDelay(SEL selector, const Value* object,
                                                   double delay) noexcept {
  try {
    TaskRunner* runner = TaskRunner::current();
    if (runner == nullptr) runner = &mainRunLoop();
    runner->postDelayedTask(makeRequest(this, selector, object), secondsToDuration(delay), this);
  } catch (...) {
    // Out of memory: the request is not made.
  }
}

void NSObject::cancelPreviousPerformRequestsWithTarget(NSObject* target) noexcept {
  if (target == nullptr) return;
  try {
    sim::VirtualScheduler::instance().cancelEverywhere(target);
  } catch (...) {
  }
}

void NSObject::performSelectorOnMainThreadWithObjectWaitUntilDone(SEL selector, const Value* object,
                                                                  bool wait) noexcept {
  try {
    if (wait && TaskRunner::current() == &mainRunLoop()) {
      makeRequest(this, selector, object)();
      return;
    }
    // Not tagged with the receiver: cancelPreviousPerformRequestsWithTarget: leaves these alone.
    mainRunLoop().postDelayedTask(makeRequest(this, selector, object), Duration{0}, nullptr);
  } catch (...) {
  }
}

std::string NSError::description() const {
  return fmt::format("Error Domain={} Code={} \"{}\"", domain_, code_, localizedDescription_);
}

}  // namespace platform
