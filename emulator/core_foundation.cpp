// CoreFoundation's preferences and local notification center, Foundation's NSLog and
// NSHomeDirectory, and libdispatch's serial queues, each served by the simulated phone.
#include <functional>
#include <iterator>
#include <memory>

#include <utf8/unchecked.h>

#include "c_format.h"
#include "frameworks.h"
#include "platform/cf_notification_center.h"
#include "platform/cf_preferences.h"
#include "platform/dispatch.h"
#include "platform/ns_file_manager.h"
#include "platform/ns_log.h"
#include "platform/task_runner.h"
#include "stand_in.h"

namespace emulator {

namespace {

// CFGetTypeID's answers; only their equality matters to the binary.
constexpr std::uint64_t kStringTypeID = 7;
constexpr std::uint64_t kDictionaryTypeID = 18;
constexpr std::uint64_t kArrayTypeID = 19;
constexpr std::uint64_t kDataTypeID = 20;
constexpr std::uint64_t kBooleanTypeID = 21;
constexpr std::uint64_t kNumberTypeID = 22;
constexpr std::uint64_t kDateTypeID = 42;

struct CenterState : HostState {};

// An observer the binary registered: its callback and observer pointer, on the phone's center.
struct Observation {
  Runtime* runtime;
  Address center;
  Address callback;
  Address observer;
};

void relay(platform::CFNotificationCenterRef, void* context, platform::CFNotificationName name,
           const void*, const platform::Dictionary* userInfo) {
  auto* observation = static_cast<Observation*>(context);
  Runtime& rt = *observation->runtime;
  hostTask(rt, [&] {
    const Arch arch = rt.arch();
    const Address nameObject = rt.autorelease(rt.newString(name));
    const Address info = userInfo ? rt.autorelease(rt.newObject(platform::Value(*userInfo))) : 0;
    rt.machine().call(
        observation->callback,
        {Argument::pointer(arch, observation->center),
         Argument::pointer(arch, observation->observer), Argument::pointer(arch, nameObject),
         Argument::pointer(arch, 0), Argument::pointer(arch, info)});
  })();
}

std::string textOf(Runtime& rt, Address object, const char* what) {
  auto text = rt.stringOf(object);
  if (!text) {
    rt.machine().fault(std::string(what) + " is no string (" + Machine::hex(object) + ")");
  }
  return *text;
}

// A C string as the phone's NSLog reads a %s argument: in the system encoding, MacRoman.
std::string fromMacRoman(const std::string& bytes) {
  static const std::uint16_t kHigh[128] = {
      0x00c4, 0x00c5, 0x00c7, 0x00c9, 0x00d1, 0x00d6, 0x00dc, 0x00e1, 0x00e0, 0x00e2, 0x00e4,
      0x00e3, 0x00e5, 0x00e7, 0x00e9, 0x00e8, 0x00ea, 0x00eb, 0x00ed, 0x00ec, 0x00ee, 0x00ef,
      0x00f1, 0x00f3, 0x00f2, 0x00f4, 0x00f6, 0x00f5, 0x00fa, 0x00f9, 0x00fb, 0x00fc, 0x2020,
      0x00b0, 0x00a2, 0x00a3, 0x00a7, 0x2022, 0x00b6, 0x00df, 0x00ae, 0x00a9, 0x2122, 0x00b4,
      0x00a8, 0x2260, 0x00c6, 0x00d8, 0x221e, 0x00b1, 0x2264, 0x2265, 0x00a5, 0x00b5, 0x2202,
      0x2211, 0x220f, 0x03c0, 0x222b, 0x00aa, 0x00ba, 0x03a9, 0x00e6, 0x00f8, 0x00bf, 0x00a1,
      0x00ac, 0x221a, 0x0192, 0x2248, 0x2206, 0x00ab, 0x00bb, 0x2026, 0x00a0, 0x00c0, 0x00c3,
      0x00d5, 0x0152, 0x0153, 0x2013, 0x2014, 0x201c, 0x201d, 0x2018, 0x2019, 0x00f7, 0x25ca,
      0x00ff, 0x0178, 0x2044, 0x20ac, 0x2039, 0x203a, 0xfb01, 0xfb02, 0x2021, 0x00b7, 0x201a,
      0x201e, 0x2030, 0x00c2, 0x00ca, 0x00c1, 0x00cb, 0x00c8, 0x00cd, 0x00ce, 0x00cf, 0x00cc,
      0x00d3, 0x00d4, 0xf8ff, 0x00d2, 0x00da, 0x00db, 0x00d9, 0x0131, 0x02c6, 0x02dc, 0x00af,
      0x02d8, 0x02d9, 0x02da, 0x00b8, 0x02dd, 0x02db, 0x02c7};
  std::string out;
  for (unsigned char c : bytes) {
    utf8::unchecked::append(c < 0x80 ? c : kHigh[c - 0x80], std::back_inserter(out));
  }
  return out;
}

}  // namespace

std::shared_ptr<platform::TaskRunner> queueRunner(Runtime& runtime, Address queue) {
  auto* state = runtime.state<QueueState>(queue);
  if (state == nullptr) {
    runtime.machine().fault("a dispatch queue argument " + Machine::hex(queue) +
                            " that is no queue");
  }
  return state->queue;
}

void defineCoreFoundation(Runtime& rt, Imports& imports) {
  Runtime* r = &rt;

  imports.function("_CFGetTypeID", [r](Machine& m, NativeCall& c) {
    const Address object = c.pointer();
    const ClassInfo* cls = r->classOf(object);
    if (cls == nullptr) m.fault("CFGetTypeID of " + Machine::hex(object) + ", which is no object");
    std::uint64_t id = 1;
    if (r->isKindOf(cls, "__NSCFBoolean"))
      id = kBooleanTypeID;
    else if (r->isKindOf(cls, "NSNumber"))
      id = kNumberTypeID;
    else if (r->isKindOf(cls, "NSString"))
      id = kStringTypeID;
    else if (r->isKindOf(cls, "NSDictionary"))
      id = kDictionaryTypeID;
    else if (r->isKindOf(cls, "NSArray"))
      id = kArrayTypeID;
    else if (r->isKindOf(cls, "NSData"))
      id = kDataTypeID;
    else if (r->isKindOf(cls, "NSDate"))
      id = kDateTypeID;
    c.returnPointer(id);
  });
  imports.function("_CFBooleanGetTypeID",
                   [](Machine&, NativeCall& c) { c.returnPointer(kBooleanTypeID); });
  imports.function("_CFNumberIsFloatType", [r](Machine& m, NativeCall& c) {
    auto* number = r->state<NumberState>(c.pointer());
    if (number == nullptr) m.fault("CFNumberIsFloatType of an object that is no number");
    c.returnBool(number->value.getIf<double>() != nullptr);
  });

  // Preferences, by the constants' own texts, as the phone's CoreFoundation defines them.
  for (const char* name : {"kCFPreferencesAnyHost", "kCFPreferencesCurrentHost",
                           "kCFPreferencesAnyUser", "kCFPreferencesCurrentUser"}) {
    const Address slot = rt.machine().allocateStatic(8, 8);
    rt.machine().storePointer(slot, rt.constantString(name));
    imports.data(std::string("_") + name, slot);
  }
  imports.function("_CFPreferencesSynchronize", [](Machine&, NativeCall& c) {
    c.pointer();
    c.pointer();
    c.pointer();
    c.returnBool(true);
  });
  imports.function("_CFPreferencesCopyKeyList", [r](Machine&, NativeCall& c) {
    const std::string domain = textOf(*r, c.pointer(), "the preferences domain");
    const std::string user = textOf(*r, c.pointer(), "the preferences user");
    const std::string host = textOf(*r, c.pointer(), "the preferences host");
    auto keys = platform::CFPreferencesCopyKeyList(domain, user, host);
    if (!keys || keys->empty()) return c.returnPointer(0);
    platform::Array array;
    for (const std::string& key : *keys) array.push_back(platform::Value(key));
    c.returnPointer(r->newObject(platform::Value(std::move(array))));
  });
  imports.function("_CFPreferencesCopyMultiple", [r](Machine& m, NativeCall& c) {
    const Address wanted = c.pointer();
    const std::string domain = textOf(*r, c.pointer(), "the preferences domain");
    const std::string user = textOf(*r, c.pointer(), "the preferences user");
    const std::string host = textOf(*r, c.pointer(), "the preferences host");
    auto* keyArray = r->state<ArrayState>(wanted);
    if (keyArray == nullptr) m.fault("CFPreferencesCopyMultiple with keys that are no array");
    std::vector<std::string> keys;
    for (Address key : keyArray->items) keys.push_back(textOf(*r, key, "a preferences key"));
    auto values = platform::CFPreferencesCopyMultiple(keys, domain, user, host);
    if (!values) return c.returnPointer(0);
    c.returnPointer(r->newObject(platform::Value(std::move(*values))));
  });
  imports.function("_CFPreferencesSetValue", [r](Machine&, NativeCall& c) {
    const std::string key = textOf(*r, c.pointer(), "the preferences key");
    const Address value = c.pointer();
    const std::string domain = textOf(*r, c.pointer(), "the preferences domain");
    const std::string user = textOf(*r, c.pointer(), "the preferences user");
    const std::string host = textOf(*r, c.pointer(), "the preferences host");
    auto converted = r->valueOf(value);
    platform::CFPreferencesSetValue(key, value ? (converted ? &*converted : nullptr) : nullptr,
                                    domain, user, host);
  });

  // The process-local notification center, and CoreTelephony's, where the telephony server posts
  // call status (the binary finds CoreTelephony's two functions with dlsym: it is not linked).
  defineStandIn(rt, "__NSCFNotificationCenter", "NSObject", "CoreFoundation/CFNotificationCenter.h")
      .state<CenterState>();
  auto observations = std::make_shared<std::vector<std::unique_ptr<Observation>>>();
  auto centerNamed = [r](const char* name) {
    return [r, name] {
      return r->singleton(name, [r] {
        return r->retain(r->createInstance(r->classNamed("__NSCFNotificationCenter")));
      });
    };
  };
  using AddObserver = void (*)(platform::CFNotificationCenterRef, void*,
                               platform::CFNotificationCallback, platform::CFNotificationName,
                               const void*, platform::CFNotificationSuspensionBehavior) noexcept;
  // An add-observer function for the center `center` stands for, which the phone's `add` serves.
  auto addObserver = [r, observations](std::function<Address()> center,
                                       platform::CFNotificationCenterRef phoneCenter,
                                       AddObserver add, std::string wrongCenter) {
    return [r, observations, center, phoneCenter, add, wrongCenter](Machine& m, NativeCall& c) {
      const Address given = c.pointer();
      const Address observer = c.pointer();
      const Address callback = c.pointer();
      const Address name = c.pointer();
      const Address object = c.pointer();
      const auto behavior = static_cast<platform::CFNotificationSuspensionBehavior>(
          c.integer(m.pointerSize()));  // a CFIndex
      if (given != center()) m.fault(wrongCenter);
      if (object != 0) m.fault("an observer of one object's notifications is not modelled");
      observations->push_back(
          std::make_unique<Observation>(Observation{r, given, callback, observer}));
      const std::string nameText = name ? textOf(*r, name, "the notification name") : std::string();
      add(phoneCenter, observations->back().get(), &relay, nameText, nullptr, behavior);
    };
  };
  const auto localCenter = centerNamed("local notification center");
  const auto telephonyCenter = centerNamed("CoreTelephony's notification center");
  imports.function("_CFNotificationCenterGetLocalCenter",
                   [localCenter](Machine&, NativeCall& c) { c.returnPointer(localCenter()); });
  imports.function("_CFNotificationCenterAddObserver",
                   addObserver(localCenter, platform::CFNotificationCenterGetLocalCenter(),
                               &platform::CFNotificationCenterAddObserver,
                               "an observer added to a center other than the local one"));
  imports.function("_CTTelephonyCenterGetDefault", [telephonyCenter](Machine&, NativeCall& c) {
    c.returnPointer(telephonyCenter());
  });
  imports.function(
      "_CTTelephonyCenterAddObserver",
      addObserver(telephonyCenter, platform::CTTelephonyCenterGetDefault(),
                  &platform::CTTelephonyCenterAddObserver,
                  "a telephony observer added to a center other than CoreTelephony's"));
  imports.function("_CFNotificationCenterPostNotification", [r](Machine&, NativeCall& c) {
    c.pointer();  // the local center
    const std::string name = textOf(*r, c.pointer(), "the notification name");
    const Address object = c.pointer();
    const Address userInfo = c.pointer();
    const bool immediately = (c.integer(1) & 0xff) != 0;
    auto info = r->valueOf(userInfo);
    const auto* dictionary = info ? info->getIf<platform::Dictionary>() : nullptr;
    platform::CFNotificationCenterPostNotification(platform::CFNotificationCenterGetLocalCenter(),
                                                   name, reinterpret_cast<const void*>(object),
                                                   dictionary, immediately);
  });

  // NSLog, with the phone's format rules: %s reads MacRoman.
  imports.function("_NSLog", [r](Machine& m, NativeCall& c) {
    const std::string format = textOf(*r, c.pointer(), "NSLog's format");
    c.startVariadic();
    const std::string message = formatVariadic(
        format, c, [r](Address object) { return r->describe(object); },
        [&m](Address s) { return fromMacRoman(m.readCString(s)); });
    const platform::LogArgument arg{message};
    platform::NSLogv("%s", std::span<const platform::LogArgument>(&arg, 1));
  });
  imports.function("_NSHomeDirectory", [r](Machine&, NativeCall& c) {
    c.returnPointer(r->autorelease(r->newString(platform::NSHomeDirectory())));
  });

  // libdispatch: serial queues of the simulated phone. Queues are objects: ARC retains them.
  defineStandIn(rt, "OS_dispatch_queue", "NSObject", "dispatch/queue.h").state<QueueState>();
  auto queueObject = [r](std::shared_ptr<platform::TaskRunner> queue) {
    const Address object = r->createInstance(r->classNamed("OS_dispatch_queue"));
    r->state<QueueState>(object)->queue = std::move(queue);
    return object;
  };
  const Address mainQueue = r->retain(queueObject(std::shared_ptr<platform::TaskRunner>(
      &platform::mainRunLoop(), [](platform::TaskRunner*) {})));
  imports.data("__dispatch_main_q", mainQueue);
  imports.function("_dispatch_get_global_queue", [r, queueObject](Machine&, NativeCall& c) {
    c.pointer();
    c.pointer();
    c.returnPointer(r->singleton("global queue", [&] {
      return r->retain(queueObject(platform::createSerialQueue("com.apple.root.default-priority")));
    }));
  });
  imports.function("_dispatch_queue_create", [r, queueObject](Machine& m, NativeCall& c) {
    const Address label = c.pointer();
    const Address attributes = c.pointer();
    if (attributes != 0) m.fault("a concurrent dispatch queue: only serial queues are modelled");
    c.returnPointer(
        queueObject(platform::createSerialQueue(label ? m.readCString(label, 1024) : "")));
  });
  auto queueOf = [r](Machine&, Address object) { return queueRunner(*r, object); };
  auto post = [r](const std::shared_ptr<platform::TaskRunner>& queue, Address block,
                  platform::Duration delay) {
    const Address copy = r->copyBlock(block);
    queue->postDelayedTask(hostTask(*r,
                                    [r, copy] {
                                      r->invokeBlock(copy, {}, Type::voidType());
                                      r->releaseBlock(copy);
                                    }),
                           delay);
  };
  imports.function("_dispatch_async", [queueOf, post](Machine& m, NativeCall& c) {
    auto queue = queueOf(m, c.pointer());
    post(queue, c.pointer(), platform::Duration{0});
  });
  // Times are nanoseconds of the phone's clock; 0 is now, as DISPATCH_TIME_NOW is.
  imports.function("_dispatch_time", [](Machine&, NativeCall& c) {
    const std::uint64_t when = c.integer(8);
    const std::int64_t delta = static_cast<std::int64_t>(c.integer(8, true));
    const std::uint64_t base = when == 0 ? phoneNanoseconds() : when;
    c.returnInteger(static_cast<std::uint64_t>(static_cast<std::int64_t>(base) + delta), 8);
  });
  imports.function("_dispatch_after", [queueOf, post](Machine& m, NativeCall& c) {
    const std::uint64_t when = c.integer(8);
    auto queue = queueOf(m, c.pointer());
    const std::uint64_t current = phoneNanoseconds();
    const std::int64_t delay = when > current ? static_cast<std::int64_t>(when - current) : 0;
    post(queue, c.pointer(), platform::Duration{delay});
  });
}

}  // namespace emulator
