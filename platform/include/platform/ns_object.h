// NSObject: the root class, with the run loop's delayed requests.
#pragma once

#include <memory>
#include <string>

#include "platform/objc_runtime.h"
#include "platform/value.h"

namespace platform {

// The phone's own object behind one of ours (a view, a controller, a capture input), held by
// the phone's binding; the simulated phone has none.
struct NativeObject;
// The phone's binding: reaches the state our objects mirror from its Objective-C classes.
struct NativeBridge;

class NSObject : public std::enable_shared_from_this<NSObject> {
 public:
  NSObject() = default;
  NSObject(const NSObject&) = delete;
  NSObject& operator=(const NSObject&) = delete;
  virtual ~NSObject() = default;

  // "<ClassName: 0x...>", what %@ prints for the object.
  virtual std::string description() const;
  virtual const char* className() const { return "NSObject"; }

  // Sends `selector` with `object` to the receiver, as the runtime's performSelector:withObject:
  // does. A class answers the selectors it implements and returns true; false means the
  // receiver does not respond to the selector (nothing happens).
  virtual bool performSelectorWithObject(SEL selector, const Value* object);

  // Performs `selector` on the receiver after `delay` seconds, on the run loop of the calling
  // thread (the main run loop when the caller runs on none). A delay of 0 runs on the run loop's
  // next pass, never within this call. The request keeps a receiver owned by a shared_ptr alive
  // until it has run or been cancelled; any other receiver must outlive its requests.
  void performSelectorWithObjectAfterDelay(SEL selector, const Value* object,
                                           double delay) noexcept;

  // Drops every request of performSelectorWithObjectAfterDelay aimed at `target` that has not
  // run yet. A null target drops nothing.
  static void cancelPreviousPerformRequestsWithTarget(NSObject* target) noexcept;

  // Queues `selector` to the main run loop; with `wait` false the call returns at once and the
  // selector runs after the current task has returned.
  void performSelectorOnMainThreadWithObjectWaitUntilDone(SEL selector, const Value* object,
                                                          bool wait) noexcept;

  const std::shared_ptr<NativeObject>& native() const { return native_; }
  void setNative(std::shared_ptr<NativeObject> native) { native_ = std::move(native); }

 private:
  std::shared_ptr<NativeObject> native_;
};

class NSError : public NSObject {
 public:
  NSError(std::string domain, long code, std::string localizedDescription)
      : domain_(std::move(domain)),
        code_(code),
        localizedDescription_(std::move(localizedDescription)) {}
  const char* className() const override { return "NSError"; }
  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  const std::string& localizedDescription() const { return localizedDescription_; }
  std::string description() const override;

 private:
  std::string domain_;
  long code_;
  std::string localizedDescription_;
};

}  // namespace platform

namespace platform {

// Classes that the system creates by name (a bundle's principal class): the bundle registers a
// factory when it is loaded, and the system makes instances with [[NSClassFromString(name) alloc]
// init].
using ClassFactory = std::shared_ptr<NSObject> (*)();
void registerClassNamed(const char* name, ClassFactory factory) noexcept;
// A new instance of the class registered as `name`, or null when there is none.
std::shared_ptr<NSObject> instantiateClassNamed(const std::string& name) noexcept;

}  // namespace platform
