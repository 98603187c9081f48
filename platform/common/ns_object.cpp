#include "platform/ns_object.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <optional>

#include "platform/ns_log.h"
#include "platform/task_runner.h"
#include "run_loop_requests.h"

namespace platform {

std::string NSObject::description() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  return std::string("<") + className() + ": " + address + ">";
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
    cancelRequestsEverywhere(target);
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
  return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
         localizedDescription_ + "\"";
}

}  // namespace platform

namespace platform {

namespace {
struct ClassTable {
  std::mutex mutex;
  std::map<std::string, ClassFactory, std::less<>> factories;
};
ClassTable& classTable() {
  static ClassTable table;
  return table;
}
}  // namespace

void registerClassNamed(const char* name, ClassFactory factory) noexcept {
  if (name == nullptr || factory == nullptr) return;
  try {
    auto& t = classTable();
    std::lock_guard lock(t.mutex);
    t.factories[name] = factory;
  } catch (...) {
  }
}

std::shared_ptr<NSObject> instantiateClassNamed(const std::string& name) noexcept {
  ClassFactory factory = nullptr;
  {
    auto& t = classTable();
    std::lock_guard lock(t.mutex);
    auto it = t.factories.find(name);
    if (it == t.factories.end()) return nullptr;
    factory = it->second;
  }
  try {
    return factory();
  } catch (...) {
    return nullptr;
  }
}

}  // namespace platform
