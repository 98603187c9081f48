// The runtime's class registry: classes with method tables, looked up by name, whose methods
// can be replaced (what the code-injection host does).
#pragma once

#include <string>

namespace platform {

// A selector is its name ("playRingtoneAtPath:vibrationPattern:").
using SEL = const char*;
// An object of the host (a method's receiver or argument), known to us only by its address and
// passed on unchanged. NSLog's %@ shows its description (describeObject), %p its address.
using id = void*;
// A method implementation. Each method has its own signature, (id self, SEL _cmd, args...);
// callers cast to it before calling.
using IMP = void (*)();
struct objc_class;
using Class = objc_class*;

// The class named `name`, or null when no such class is registered.
Class objc_getClass(const char* name) noexcept;

// Registers a new class (or returns the one already registered under `name`).
Class objc_allocateClassPair(const char* name) noexcept;

// Adds a method to `cls`; false when it already has one for `selector` or `cls` is null.
bool class_addMethod(Class cls, SEL selector, IMP implementation) noexcept;

// The implementation `cls` has for `selector`, or null when it has none.
IMP class_getMethodImplementation(Class cls, SEL selector) noexcept;

// The name a class was registered under.
const char* class_getName(Class cls) noexcept;

// The object's description, as -description gives it; "(null)" for a null object.
std::string describeObject(id object);

}  // namespace platform
