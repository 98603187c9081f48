// Helpers for writing the system's classes as stand-ins: encodings that follow the
// architecture's widths, results, and the conventions of who owns a returned object.
#pragma once

#include <string>
#include <string_view>

#include "objc_runtime.h"

namespace emulator {

// An encoding written with %I (NSInteger), %U (NSUInteger), %B (BOOL) and %F (CGFloat), spelt
// as `arch` spells them: q, Q, B, d on arm64; i, I, c, f on 32-bit ARM.
std::string encodingFor(Arch arch, std::string_view types);

// Defines the methods of one stand-in class, each with the header its signature comes from.
class ClassBuilder {
 public:
  ClassBuilder(Runtime& runtime, ClassInfo& cls, std::string source)
      : runtime_(runtime), cls_(cls), source_(std::move(source)) {}
  ClassBuilder& instance(const std::string& selector, std::string_view types, NativeMethod method);
  ClassBuilder& classMethod(const std::string& selector, std::string_view types,
                            NativeMethod method);
  // Signatures from another source (a private class's declaration in the binding).
  ClassBuilder& from(std::string source) {
    source_ = std::move(source);
    return *this;
  }
  template <typename T>
  ClassBuilder& state() {
    cls_.makeState = [](Runtime&) { return std::make_shared<T>(); };
    return *this;
  }
  ClassInfo& cls() { return cls_; }

 private:
  Runtime& runtime_;
  ClassInfo& cls_;
  std::string source_;
};

ClassBuilder defineStandIn(Runtime& runtime, const std::string& name, const std::string& superclass,
                           const std::string& source, std::uint32_t instanceSize = 0);

// Results.
Argument none();
Argument object(const Runtime& runtime, Address value);
Argument boolean(bool value);
Argument integerResult(std::int64_t value);  // NSInteger/NSUInteger: pointer-sized
Argument doubleResult(double value);
Argument floatResult(float value);
// An object the caller does not own: kept alive by the current autorelease pool.
Argument autoreleased(Runtime& runtime, Address value);

// The instance class of a class method's receiver.
ClassInfo* instanceClass(const Message& message);
// A string argument (NSString or literal); none for nil or a non-string.
std::optional<std::string> stringArgument(const Message& message, std::size_t index);

}  // namespace emulator
