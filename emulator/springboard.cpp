// SpringBoard as the monitor meets it: the class SBUserAgent with the simulated host's methods,
// its one instance, and the injection host's MSHookMessageEx, which replaces the simulated
// host's own methods with the binary's, so the host's calls run the emulated replacements.
#include <map>
#include <mutex>

#include "frameworks.h"
#include "platform/objc_runtime.h"
#include "platform/sim/springboard.h"
#include "platform/substrate.h"
#include "stand_in.h"

namespace emulator {

namespace {

// The replacements in force, by selector: the host calls its methods through plain function
// pointers, so the trampolines find the binary's replacement here.
struct Replacement {
  Runtime* runtime = nullptr;
  Address imp = 0;
  platform::IMP original = nullptr;
};

std::map<std::string, Replacement, std::less<>>& replacements() {
  static std::map<std::string, Replacement, std::less<>> table;
  return table;
}

std::mutex& replacementsMutex() {
  static std::mutex m;
  return m;
}

Address hostObject(Runtime& rt) {
  return rt.singleton("SBUserAgent instance", [&] {
    // At the address the simulated host's instance has, so the log lines read the same.
    const Address at = layout::kHostObjects;
    if (!rt.machine().isMapped(at)) rt.machine().map(at, 0x1000);
    rt.machine().storePointer(at, rt.classNamed("SBUserAgent")->address);
    return at;
  });
}

// The host calling a replaced method: its objects become the binary's, the replacement runs.
void callReplacement(platform::SEL selector, const std::vector<const platform::Value*>& values,
                     const std::function<void()>& callOriginal) {
  Replacement replacement;
  {
    std::lock_guard lock(replacementsMutex());
    auto it = replacements().find(std::string_view(selector));
    if (it != replacements().end()) replacement = it->second;
  }
  Runtime* rt = replacement.runtime;
  if (rt == nullptr || rt->failure()) {
    // The emulated monitor has ended: the host's own method still runs.
    callOriginal();
    return;
  }
  const Arch arch = rt->arch();
  const Address pool = rt->pushPool();
  try {
    std::vector<Argument> args{Argument::pointer(arch, hostObject(*rt)),
                               Argument::pointer(arch, rt->selector(selector))};
    for (const platform::Value* value : values) {
      args.push_back(Argument::pointer(arch, value ? rt->autorelease(rt->newObject(*value)) : 0));
    }
    rt->machine().call(replacement.imp, args);
    rt->popPool(pool);
  } catch (const EmulationFault& fault) {
    rt->setFailure(fault.what());
  }
  // Anything else is the host's own exception, passed through the replacement: it goes on.
}

using platform::id;
using platform::SEL;

const platform::Value* asValue(id object) {
  return static_cast<const platform::Value*>(object);
}

platform::IMP originalOf(SEL selector) {
  std::lock_guard lock(replacementsMutex());
  auto it = replacements().find(std::string_view(selector));
  return it == replacements().end() ? nullptr : it->second.original;
}

void trampoline0(id self, SEL selector) {
  callReplacement(selector, {}, [&] {
    if (auto original = originalOf(selector))
      reinterpret_cast<void (*)(id, SEL)>(original)(self, selector);
  });
}

void trampoline1(id self, SEL selector, id a) {
  callReplacement(selector, {asValue(a)}, [&] {
    if (auto original = originalOf(selector)) {
      reinterpret_cast<void (*)(id, SEL, id)>(original)(self, selector, a);
    }
  });
}

void trampoline2(id self, SEL selector, id a, id b) {
  callReplacement(selector, {asValue(a), asValue(b)}, [&] {
    if (auto original = originalOf(selector)) {
      reinterpret_cast<void (*)(id, SEL, id, id)>(original)(self, selector, a, b);
    }
  });
}

unsigned arityOf(std::string_view selector) {
  unsigned n = 0;
  for (char c : selector) n += c == ':';
  return n;
}

// The host's own implementation, called by the binary: the binary's objects become the host's.
void callOriginal(Runtime& rt, NativeCall& call, platform::IMP original,
                  const std::string& selector) {
  call.pointer();  // self: the host's instance
  call.pointer();  // _cmd
  std::vector<platform::Value> values;
  const unsigned arity = arityOf(selector);
  for (unsigned i = 0; i < arity; ++i) {
    const Address object = call.pointer();
    auto value = rt.valueOf(object);
    if (object != 0 && !value) {
      rt.machine().fault("the host's -[SBUserAgent " + selector + "] was handed " +
                         Machine::hex(object) + ", which is no property-list object");
    }
    values.push_back(value ? *value : platform::Value());
  }
  const id self = sim::userAgent();
  const SEL sel = selector.c_str();
  // What the host's method raises unwinds through the binary's frames, as an Objective-C
  // exception, and reaches the host's own handlers as itself.
  switch (arity) {
    case 0:
      reinterpret_cast<void (*)(id, SEL)>(original)(self, sel);
      break;
    case 1:
      reinterpret_cast<void (*)(id, SEL, id)>(original)(self, sel, &values[0]);
      break;
    default:
      reinterpret_cast<void (*)(id, SEL, id, id)>(original)(self, sel, &values[0], &values[1]);
      break;
  }
}

}  // namespace

void defineSpringBoard(Runtime& rt, Imports& imports) {
  Runtime* r = &rt;
  // The class appears when the binary looks for it, with the methods the host has then.
  rt.setClassProvider([r](std::string_view name) -> ClassInfo* {
    if (name != "SBUserAgent") return nullptr;
    platform::Class host = platform::objc_getClass("SBUserAgent");
    if (host == nullptr) return nullptr;
    auto builder = defineStandIn(
        *r, "SBUserAgent", "NSObject",
        "SpringBoard's SBUserAgent on iOS 7 (private: the binding's own declaration)");
    for (const char* selector : {"stopRinging", "playRingtoneAtPath:",
                                 "playRingtoneAtPath:vibrationPattern:", "prepareToAnswerCall"}) {
      if (platform::class_getMethodImplementation(host, selector) == nullptr) continue;
      const std::string types = "v@:" + std::string(arityOf(selector), '@');
      const std::string method(selector);
      builder.instance(method, types, [method](Message& m) {
        m.runtime.machine().fault("the binary called -[SBUserAgent " + method +
                                  "] itself; only the host calls it here");
        return none();
      });
    }
    hostObject(*r);
    return &builder.cls();
  });

  imports.function("_MSHookMessageEx", [r](Machine& m, NativeCall& c) {
    ClassInfo* cls = r->classAt(c.pointer());
    const std::string selector = r->selectorName(c.pointer());
    const Address replacement = c.pointer();
    const Address result = c.pointer();
    if (cls == nullptr || cls->name != "SBUserAgent") {
      m.fault("MSHookMessageEx on " + std::string(cls ? cls->name : "no class") +
              ": only SpringBoard's SBUserAgent is modelled");
    }
    platform::Class host = platform::objc_getClass("SBUserAgent");
    const unsigned arity = arityOf(selector);
    platform::IMP trampoline = arity == 0   ? reinterpret_cast<platform::IMP>(&trampoline0)
                               : arity == 1 ? reinterpret_cast<platform::IMP>(&trampoline1)
                                            : reinterpret_cast<platform::IMP>(&trampoline2);
    platform::IMP original = nullptr;
    {
      std::lock_guard lock(replacementsMutex());
      replacements()[selector] = {r, replacement, nullptr};
    }
    platform::MSHookMessageEx(host, selector.c_str(), trampoline, &original);
    {
      std::lock_guard lock(replacementsMutex());
      replacements()[selector].original = original;
    }
    const Address callable = original == nullptr
                                 ? 0
                                 : m.addNative("-[SBUserAgent " + selector + "] (the host's own)",
                                               [r, original, selector](Machine&, NativeCall& call) {
                                                 callOriginal(*r, call, original, selector);
                                               });
    if (const MethodEntry* entry = r->lookup(cls, selector)) {
      r->addBinaryMethod(*cls, selector, entry->types, replacement);
    }
    if (result) m.storePointer(result, callable);
  });
}

}  // namespace emulator
