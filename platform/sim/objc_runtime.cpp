#include "platform/objc_runtime.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "objc_runtime_internal.h"
#include "platform/substrate.h"

struct platform::objc_class {
  std::string name;
  std::map<std::string, platform::IMP, std::less<>> methods;
};

namespace platform {

namespace {

struct Registry {
  std::mutex mutex;
  // Classes are never freed: a Class handed out stays valid for the life of the process, as on
  // the phone. A reset only hides them from look-up.
  std::map<std::string, objc_class*, std::less<>> classes;
  std::vector<std::unique_ptr<objc_class>> allocated;  // every class ever made, kept to the end
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

Class objc_getClass(const char* name) noexcept {
  if (name == nullptr) return nullptr;
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.classes.find(std::string_view(name));
  return it == r.classes.end() ? nullptr : it->second;
}

Class objc_allocateClassPair(const char* name) noexcept {
  if (name == nullptr) return nullptr;
  try {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto [it, inserted] = r.classes.try_emplace(name, nullptr);
    if (inserted) {
      r.allocated.push_back(std::make_unique<objc_class>(objc_class{name, {}}));
      it->second = r.allocated.back().get();
    }
    return it->second;
  } catch (...) {
    return nullptr;
  }
}

bool class_addMethod(Class cls, SEL selector, IMP implementation) noexcept {
  if (cls == nullptr || selector == nullptr) return false;
  try {
    std::lock_guard lock(registry().mutex);
    return cls->methods.try_emplace(selector, implementation).second;
  } catch (...) {
    return false;
  }
}

IMP class_getMethodImplementation(Class cls, SEL selector) noexcept {
  if (cls == nullptr || selector == nullptr) return nullptr;
  std::lock_guard lock(registry().mutex);
  auto it = cls->methods.find(std::string_view(selector));
  return it == cls->methods.end() ? nullptr : it->second;
}

const char* class_getName(Class cls) noexcept {
  return cls ? cls->name.c_str() : "nil";
}

void MSHookMessageEx(Class cls, SEL selector, IMP replacement, IMP* result) noexcept {
  IMP previous = nullptr;
  if (cls != nullptr && selector != nullptr) {
    std::lock_guard lock(registry().mutex);
    auto it = cls->methods.find(std::string_view(selector));
    if (it != cls->methods.end()) {
      previous = it->second;
      it->second = replacement;
    }
  }
  if (result != nullptr) *result = previous;
}

}  // namespace platform

namespace sim {
void resetClassRegistry() {
  auto& r = platform::registry();
  std::lock_guard lock(r.mutex);
  r.classes.clear();  // the classes themselves stay allocated (see Registry)
}
}  // namespace sim
