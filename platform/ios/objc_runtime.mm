#include "platform/objc_runtime.h"

#import <Foundation/Foundation.h>
#include <dlfcn.h>
#include <objc/runtime.h>

#include "native_object.h"
#include "platform/ns_log.h"
#include "platform/substrate.h"

namespace platform {

namespace {

::Class native(Class cls) {
  return (__bridge ::Class) static_cast<void*>(cls);
}

Class ours(::Class cls) {
  return static_cast<Class>((__bridge void*)cls);
}

::SEL selectorNamed(SEL name) {
  return sel_registerName(name);
}

}  // namespace

Class objc_getClass(const char* name) noexcept {
  return name ? ours(::objc_getClass(name)) : nullptr;
}

Class objc_allocateClassPair(const char* name) noexcept {
  if (name == nullptr) return nullptr;
  if (::Class existing = ::objc_getClass(name)) return ours(existing);
  ::Class cls = ::objc_allocateClassPair([::NSObject class], name, 0);
  if (cls) ::objc_registerClassPair(cls);
  return ours(cls);
}

bool class_addMethod(Class cls, SEL selector, IMP implementation) noexcept {
  if (cls == nullptr || selector == nullptr || implementation == nullptr) return false;
  // Every method added this way takes only objects: v@: plus one @ per colon.
  std::string types = "v@:";
  for (const char* c = selector; *c; ++c) {
    if (*c == ':') types += '@';
  }
  return ::class_addMethod(native(cls), selectorNamed(selector),
                           reinterpret_cast<::IMP>(implementation), types.c_str());
}

IMP class_getMethodImplementation(Class cls, SEL selector) noexcept {
  if (cls == nullptr || selector == nullptr) return nullptr;
  ::Method method = ::class_getInstanceMethod(native(cls), selectorNamed(selector));
  return method ? reinterpret_cast<IMP>(::method_getImplementation(method)) : nullptr;
}

const char* class_getName(Class cls) noexcept {
  return cls ? ::class_getName(native(cls)) : "nil";
}

std::string describeObject(id object) {
  if (object == nullptr) return "(null)";
  @autoreleasepool {
    return fromNSString([(__bridge ::id)object description]);
  }
}

namespace {

using SubstrateHook = void (*)(::Class, ::SEL, ::IMP, ::IMP*);

// The injection host that loaded us is already in the process: its hooking call is looked up
// there rather than linked, so one binary serves every jailbreak's file layout.
SubstrateHook substrateHook() {
  static const SubstrateHook hook =
      reinterpret_cast<SubstrateHook>(dlsym(RTLD_DEFAULT, "MSHookMessageEx"));
  return hook;
}

// What the host's call does, with the runtime alone: a method the class only inherits gets
// its own entry first, so the superclass keeps its implementation.
void hookWithRuntime(::Class cls, ::SEL selector, ::IMP replacement, ::IMP* result) {
  ::Method method = ::class_getInstanceMethod(cls, selector);
  ::IMP original = ::method_getImplementation(method);
  if (!::class_addMethod(cls, selector, replacement, ::method_getTypeEncoding(method))) {
    original = ::method_setImplementation(method, replacement);
  }
  if (result) *result = original;
}

}  // namespace

void MSHookMessageEx(Class cls, SEL selector, IMP replacement, IMP* result) noexcept {
  if (result) *result = nullptr;
  if (cls == nullptr || selector == nullptr || replacement == nullptr) return;
  ::SEL sel = selectorNamed(selector);
  if (::class_getInstanceMethod(native(cls), sel) == nullptr) return;
  ::IMP original = nullptr;
  if (SubstrateHook hook = substrateHook()) {
    hook(native(cls), sel, reinterpret_cast<::IMP>(replacement), &original);
  } else {
    hookWithRuntime(native(cls), sel, reinterpret_cast<::IMP>(replacement), &original);
  }
  if (result) *result = reinterpret_cast<IMP>(original);
}

}  // namespace platform
