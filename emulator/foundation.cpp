// Foundation's classes as the binding uses them: NSObject, the property-list classes, NSError,
// NSException, NSFileManager and NSOperationQueue (the last two served by the simulated phone).
#include <cmath>
#include <cstring>

#include <utf8/core.h>

#include "frameworks.h"
#include "platform/dispatch.h"
#include "platform/ns_file_manager.h"
#include "platform/ns_operation_queue.h"
#include "platform/ns_string.h"
#include "stand_in.h"

namespace emulator {

namespace {

constexpr std::uint64_t kUtf8Encoding = 4;

// Strict UTF-8, as the phone's NSString reads it.
bool validUtf8(std::string_view s) {
  return utf8::is_valid(s.begin(), s.end());
}

double numberAsDouble(const platform::Value& v) {
  return platform::doubleValue(v);
}

std::int64_t numberAsInteger(const platform::Value& v) {
  if (const auto* i = v.getIf<std::int64_t>()) return *i;
  if (const auto* b = v.getIf<bool>()) return *b ? 1 : 0;
  const double d = platform::doubleValue(v);
  if (std::isnan(d)) return 0;
  if (d >= 9.2233720368547758e18) return INT64_MAX;
  if (d <= -9.2233720368547758e18) return INT64_MIN;
  return static_cast<std::int64_t>(d);
}

// Fast enumeration over `items`: the state, the caller's buffer and its length.
Argument enumerate(Message& m, const std::vector<Address>& items, Address* mutationsWord) {
  Machine& machine = m.runtime.machine();
  const unsigned p = machine.pointerSize();
  const Address state = m.object(0);
  const Address buffer = m.object(1);
  const std::uint64_t length = m.integer(2);
  if (*mutationsWord == 0) *mutationsWord = machine.allocateStatic(8, 8);
  const Address position = machine.loadPointer(state);
  if (position == 0) machine.storePointer(state + 2 * p, *mutationsWord);
  std::uint64_t n = 0;
  for (; n < length && position + n < items.size(); ++n) {
    machine.storePointer(buffer + n * p, items[position + n]);
  }
  machine.storePointer(state, position + n);
  machine.storePointer(state + p, buffer);
  return integerResult(static_cast<std::int64_t>(n));
}

const char* kFastEnumeration = "%U@:^{?=%U^@^%U[5%U]}^@%U";

}  // namespace

void defineFoundation(Runtime& rt) {
  const std::string objc = "usr/include/objc/NSObject.h";

  defineStandIn(rt, "NSObject", "", objc)
      .classMethod(
          "alloc", "@#:",
          [](Message& m) { return object(m.runtime, m.runtime.createInstance(instanceClass(m))); })
      .classMethod(
          "allocWithZone:", "@#:^{_NSZone=}",
          [](Message& m) { return object(m.runtime, m.runtime.createInstance(instanceClass(m))); })
      .classMethod("new", "@#:",
                   [](Message& m) {
                     const Address made = m.runtime.createInstance(instanceClass(m));
                     return object(m.runtime, m.runtime.send(made, "init", {}).integer);
                   })
      .classMethod("class", "#@:", [](Message& m) { return object(m.runtime, m.self); })
      .classMethod("isSubclassOfClass:", "%B#:#",
                   [](Message& m) {
                     const ClassInfo* target = m.runtime.classAt(m.object(0));
                     for (const ClassInfo* c = instanceClass(m); c; c = c->superclass) {
                       if (c == target) return boolean(true);
                     }
                     return boolean(false);
                   })
      .classMethod(
          "instancesRespondToSelector:", "%B#::",
          [](Message& m) {
            return boolean(
                m.runtime.lookup(instanceClass(m), m.runtime.selectorName(m.object(0))) != nullptr);
          })
      .instance("init", "@@:", [](Message& m) { return object(m.runtime, m.self); })
      .instance("dealloc", "v@:",
                [](Message& m) {
                  m.runtime.destroyInstance(m.self);
                  return none();
                })
      .instance("class",
                "#@:", [](Message& m) { return object(m.runtime, m.receiverClass->address); })
      .instance("self", "@@:", [](Message& m) { return object(m.runtime, m.self); })
      .instance("isKindOfClass:", "%B@:#",
                [](Message& m) {
                  const ClassInfo* target = m.runtime.classAt(m.object(0));
                  for (const ClassInfo* c = m.receiverClass; c; c = c->superclass) {
                    if (c == target) return boolean(true);
                  }
                  return boolean(false);
                })
      .instance("isMemberOfClass:", "%B@:#",
                [](Message& m) { return boolean(m.receiverClass->address == m.object(0)); })
      .instance("respondsToSelector:", "%B@::",
                [](Message& m) {
                  return boolean(m.runtime.respondsTo(m.self, m.runtime.selectorName(m.object(0))));
                })
      .instance("isEqual:", "%B@:@", [](Message& m) { return boolean(m.self == m.object(0)); })
      .instance("hash",
                "%U@:", [](Message& m) { return integerResult(static_cast<std::int64_t>(m.self)); })
      .instance("description", "@@:",
                [](Message& m) {
                  return autoreleased(m.runtime,
                                      m.runtime.newString("<" + m.receiverClass->name + ": " +
                                                          Machine::hex(m.self) + ">"));
                })
      .instance("copy", "@@:", [](Message& m) {
        return object(
            m.runtime,
            m.runtime.send(m.self, "copyWithZone:", {Argument::pointer(m.runtime.arch(), 0)})
                .integer);
      });

  // Strings. The instances are the private concrete classes, as on the phone.
  const std::string nsstring = "Foundation/NSString.h";
  defineStandIn(rt, "NSString", "NSObject", nsstring)
      .state<StringState>()
      .classMethod("stringWithUTF8String:", "@#:r*",
                   [](Message& m) {
                     if (m.object(0) == 0) return object(m.runtime, 0);
                     const std::string text = m.runtime.machine().readCString(m.object(0));
                     if (!validUtf8(text)) return object(m.runtime, 0);
                     return autoreleased(m.runtime, m.runtime.newString(text));
                   })
      // A class cluster, as on iOS 7: +alloc answers the one NSPlaceholderString, whose
      // initialisers answer a new string of the private concrete class.
      .classMethod("alloc", "@#:",
                   [](Message& m) {
                     if (instanceClass(m)->name != "NSString") {
                       return object(m.runtime, m.runtime.createInstance(instanceClass(m)));
                     }
                     return object(m.runtime, m.runtime.singleton("NSPlaceholderString", [&] {
                       const Address placeholder =
                           m.runtime.createInstance(m.runtime.classNamed("NSPlaceholderString"));
                       return m.runtime.retain(placeholder);
                     }));
                   })
      .instance("initWithBytes:length:encoding:", "@@:r^v%U%U",
                [](Message& m) {
                  const Address bytes = m.object(0);
                  const std::uint64_t length = m.integer(1);
                  if (m.integer(2) != kUtf8Encoding) {
                    m.runtime.machine().fault(
                        "-[NSString initWithBytes:length:encoding:] with encoding " +
                        std::to_string(m.integer(2)) + ": only UTF-8 is modelled");
                  }
                  std::string text(length, '\0');
                  if (length) m.runtime.machine().read(bytes, text.data(), length);
                  const bool placeholder = m.receiverClass->name == "NSPlaceholderString";
                  if (!validUtf8(text)) {
                    if (!placeholder) m.runtime.release(m.self);
                    return object(m.runtime, 0);
                  }
                  if (placeholder) return object(m.runtime, m.runtime.newString(text));
                  if (auto* s = m.runtime.state<StringState>(m.self)) s->text = std::move(text);
                  return object(m.runtime, m.self);
                })
      .instance("UTF8String", "r*@:",
                [](Message& m) {
                  auto text = m.runtime.stringOf(m.self);
                  Machine& machine = m.runtime.machine();
                  auto* s = m.runtime.state<StringState>(m.self);
                  if (s == nullptr) {
                    // A literal's characters are in the binary; its UTF-8 copy lives as long.
                    const Address copy = machine.internString(*text);
                    return Argument::pointer(m.runtime.arch(), copy);
                  }
                  if (s->utf8) machine.deallocate(s->utf8);
                  s->utf8 = machine.allocate(s->text.size() + 1);
                  machine.write(s->utf8, s->text.c_str(), s->text.size() + 1);
                  return Argument::pointer(m.runtime.arch(), s->utf8);
                })
      .instance("length", "%U@:",
                [](Message& m) {
                  return integerResult(
                      static_cast<std::int64_t>(platform::length(m.runtime.stringOf(m.self))));
                })
      .instance("isEqualToString:", "%B@:@",
                [](Message& m) {
                  auto other = m.runtime.stringOf(m.object(0));
                  return boolean(other && *other == *m.runtime.stringOf(m.self));
                })
      .instance("isEqual:", "%B@:@",
                [](Message& m) {
                  auto other = m.runtime.stringOf(m.object(0));
                  return boolean(other && *other == *m.runtime.stringOf(m.self));
                })
      .instance("hash", "%U@:",
                [](Message& m) {
                  return integerResult(static_cast<std::int64_t>(
                      std::hash<std::string>{}(*m.runtime.stringOf(m.self))));
                })
      .instance("description", "@@:", [](Message& m) { return object(m.runtime, m.self); })
      .instance("copyWithZone:", "@@:^{_NSZone=}",
                [](Message& m) { return object(m.runtime, m.runtime.retain(m.self)); });
  defineStandIn(rt, "NSPlaceholderString", "NSString", nsstring);
  defineStandIn(rt, "NSMutableString", "NSString", nsstring);
  defineStandIn(rt, "__NSCFString", "NSMutableString", nsstring);
  rt.defineClass("__NSCFConstantString", "__NSCFString").literal = true;

  // Numbers.
  const std::string nsvalue = "Foundation/NSValue.h";
  auto number = [](Runtime& runtime, platform::Value v) {
    if (v.getIf<bool>()) return runtime.newObject(v);
    const Address made = runtime.createInstance(runtime.classNamed("__NSCFNumber"));
    runtime.state<NumberState>(made)->value = std::move(v);
    return made;
  };
  auto numberOf = [](Message& m) -> const platform::Value& {
    return m.runtime.state<NumberState>(m.self)->value;
  };
  defineStandIn(rt, "NSValue", "NSObject", nsvalue);
  defineStandIn(rt, "NSNumber", "NSValue", nsvalue)
      .state<NumberState>()
      .classMethod("numberWithBool:", "@#:%B",
                   [number](Message& m) {
                     return autoreleased(m.runtime,
                                         number(m.runtime, platform::Value(m.boolean(0))));
                   })
      .classMethod(
          "numberWithInt:", "@#:i",
          [number](Message& m) {
            return autoreleased(
                m.runtime,
                number(m.runtime,
                       platform::Value(std::int64_t{static_cast<std::int32_t>(m.integer(0))})));
          })
      .classMethod(
          "numberWithLongLong:", "@#:q",
          [number](Message& m) {
            return autoreleased(
                m.runtime,
                number(m.runtime, platform::Value(static_cast<std::int64_t>(m.integer(0)))));
          })
      .classMethod("numberWithInteger:", "@#:%I",
                   [number](Message& m) {
                     const bool wide = is64Bit(m.runtime.arch());
                     const auto value = wide
                                            ? static_cast<std::int64_t>(m.integer(0))
                                            : std::int64_t{static_cast<std::int32_t>(m.integer(0))};
                     return autoreleased(m.runtime, number(m.runtime, platform::Value(value)));
                   })
      .classMethod("numberWithFloat:", "@#:f",
                   [number](Message& m) {
                     return autoreleased(m.runtime,
                                         number(m.runtime, platform::Value(double{m.f32(0)})));
                   })
      .classMethod("numberWithDouble:", "@#:d",
                   [number](Message& m) {
                     return autoreleased(m.runtime, number(m.runtime, platform::Value(m.f64(0))));
                   })
      .instance("boolValue", "%B@:",
                [numberOf](Message& m) { return boolean(platform::boolValue(numberOf(m))); })
      .instance("intValue", "i@:",
                [numberOf](Message& m) {
                  return Argument::integer(
                      static_cast<std::uint32_t>(platform::intValue(numberOf(m))), 4, true);
                })
      .instance("longLongValue", "q@:",
                [numberOf](Message& m) {
                  return Argument::integer(static_cast<std::uint64_t>(numberAsInteger(numberOf(m))),
                                           8, true);
                })
      .instance("integerValue", "%I@:",
                [numberOf](Message& m) { return integerResult(numberAsInteger(numberOf(m))); })
      .instance("floatValue", "f@:",
                [numberOf](Message& m) {
                  return floatResult(static_cast<float>(numberAsDouble(numberOf(m))));
                })
      .instance("doubleValue",
                "d@:", [numberOf](Message& m) { return doubleResult(numberAsDouble(numberOf(m))); })
      .instance("description", "@@:",
                [numberOf](Message& m) {
                  return autoreleased(m.runtime,
                                      m.runtime.newString(platform::description(numberOf(m))));
                })
      .instance(
          "isEqual:", "%B@:@",
          [numberOf](Message& m) {
            auto* other = m.runtime.state<NumberState>(m.object(0));
            return boolean(other && numberAsDouble(other->value) == numberAsDouble(numberOf(m)));
          })
      .instance("copyWithZone:", "@@:^{_NSZone=}",
                [](Message& m) { return object(m.runtime, m.runtime.retain(m.self)); });
  defineStandIn(rt, "__NSCFNumber", "NSNumber", nsvalue);
  defineStandIn(rt, "__NSCFBoolean", "NSNumber", nsvalue);

  defineStandIn(rt, "NSDate", "NSObject", "Foundation/NSDate.h")
      .state<DateState>()
      .classMethod("dateWithTimeIntervalSinceReferenceDate:", "@#:d",
                   [](Message& m) {
                     const Address date =
                         m.runtime.createInstance(m.runtime.classNamed("__NSDate"));
                     m.runtime.state<DateState>(date)->secondsSinceReferenceDate = m.f64(0);
                     return autoreleased(m.runtime, date);
                   })
      .instance("timeIntervalSinceReferenceDate", "d@:", [](Message& m) {
        return doubleResult(m.runtime.state<DateState>(m.self)->secondsSinceReferenceDate);
      });
  defineStandIn(rt, "__NSDate", "NSDate", "Foundation/NSDate.h");

  defineStandIn(rt, "NSData", "NSObject", "Foundation/NSData.h")
      .state<DataState>()
      .classMethod("dataWithBytes:length:", "@#:r^v%U",
                   [](Message& m) {
                     const Address data =
                         m.runtime.createInstance(m.runtime.classNamed("NSConcreteData"));
                     m.runtime.state<DataState>(data)->bytes =
                         m.runtime.machine().readBytes(m.object(0), m.integer(1));
                     return autoreleased(m.runtime, data);
                   })
      .instance("length", "%U@:",
                [](Message& m) {
                  return integerResult(
                      static_cast<std::int64_t>(m.runtime.state<DataState>(m.self)->bytes.size()));
                })
      .instance("bytes", "r^v@:", [](Message& m) {
        auto* d = m.runtime.state<DataState>(m.self);
        Machine& machine = m.runtime.machine();
        if (d->buffer == 0 && !d->bytes.empty()) {
          d->buffer = machine.allocate(d->bytes.size());
          machine.write(d->buffer, d->bytes.data(), d->bytes.size());
        }
        return Argument::pointer(m.runtime.arch(), d->buffer);
      });
  defineStandIn(rt, "NSConcreteData", "NSData", "Foundation/NSData.h");

  // Collections.
  const std::string nsarray = "Foundation/NSArray.h";
  defineStandIn(rt, "NSArray", "NSObject", nsarray)
      .state<ArrayState>()
      .classMethod(
          "array", "@#:",
          [](Message& m) {
            return autoreleased(
                m.runtime,
                m.runtime.createInstance(m.runtime.classNamed(
                    instanceClass(m)->name == "NSMutableArray" ? "__NSArrayM" : "__NSArrayI")));
          })
      .instance("count", "%U@:",
                [](Message& m) {
                  return integerResult(
                      static_cast<std::int64_t>(m.runtime.state<ArrayState>(m.self)->items.size()));
                })
      .instance("objectAtIndex:", "@@:%U",
                [](Message& m) {
                  auto* a = m.runtime.state<ArrayState>(m.self);
                  if (m.integer(0) >= a->items.size()) {
                    m.runtime.machine().fault("-[NSArray objectAtIndex:] index " +
                                              std::to_string(m.integer(0)) +
                                              " beyond bounds (raised NSRangeException), from " +
                                              m.runtime.where(m.caller));
                  }
                  return object(m.runtime, a->items[m.integer(0)]);
                })
      .instance("countByEnumeratingWithState:objects:count:", kFastEnumeration,
                [](Message& m) {
                  auto* a = m.runtime.state<ArrayState>(m.self);
                  return enumerate(m, a->items, &a->mutationsWord);
                })
      .instance("description", "@@:",
                [](Message& m) {
                  return autoreleased(
                      m.runtime,
                      m.runtime.newString(platform::description(*m.runtime.valueOf(m.self))));
                })
      .instance("copyWithZone:", "@@:^{_NSZone=}",
                [](Message& m) { return object(m.runtime, m.runtime.retain(m.self)); });
  defineStandIn(rt, "NSMutableArray", "NSArray", nsarray)
      .classMethod("arrayWithCapacity:", "@#:%U",
                   [](Message& m) {
                     return autoreleased(
                         m.runtime, m.runtime.createInstance(m.runtime.classNamed("__NSArrayM")));
                   })
      .instance("addObject:", "v@:@", [](Message& m) {
        if (m.object(0) == 0) {
          m.runtime.machine().fault(
              "-[NSMutableArray addObject:] with nil (raised NSInvalidArgumentException), from " +
              m.runtime.where(m.caller));
        }
        auto* a = m.runtime.state<ArrayState>(m.self);
        a->items.push_back(m.runtime.retain(m.object(0)));
        if (a->mutationsWord) m.runtime.machine().storePointer(a->mutationsWord, ++a->mutations);
        return none();
      });
  defineStandIn(rt, "__NSArrayI", "NSArray", nsarray);
  defineStandIn(rt, "__NSArrayM", "NSMutableArray", nsarray);

  const std::string nsdictionary = "Foundation/NSDictionary.h";
  auto lookupKey = [](Message& m, Address key) -> Address {
    auto wanted = m.runtime.stringOf(key);
    for (const auto& [k, v] : m.runtime.state<DictionaryState>(m.self)->entries) {
      if (k == key) return v;
      if (wanted && m.runtime.stringOf(k) == wanted) return v;
    }
    return 0;
  };
  auto setKey = [](Message& m, Address value, Address key) {
    if (key == 0 || value == 0) {
      m.runtime.machine().fault(
          "-[NSMutableDictionary setObject:forKey:] with a nil key or value "
          "(raised NSInvalidArgumentException), from " +
          m.runtime.where(m.caller));
    }
    auto* d = m.runtime.state<DictionaryState>(m.self);
    auto wanted = m.runtime.stringOf(key);
    m.runtime.retain(value);
    for (auto& [k, v] : d->entries) {
      if (k == key || (wanted && m.runtime.stringOf(k) == wanted)) {
        m.runtime.release(v);
        v = value;
        return;
      }
    }
    // Keys are copied, as NSDictionary copies them.
    d->entries.emplace_back(m.runtime.send(key, "copy", {}).integer, value);
    if (d->mutationsWord) m.runtime.machine().storePointer(d->mutationsWord, d->entries.size());
  };
  defineStandIn(rt, "NSDictionary", "NSObject", nsdictionary)
      .state<DictionaryState>()
      .classMethod("dictionaryWithContentsOfFile:", "@#:@",
                   [](Message& m) {
                     auto path = stringArgument(m, 0);
                     if (!path) return object(m.runtime, 0);
                     auto stored = platform::dictionaryWithContentsOfFile(*path);
                     if (!stored) return object(m.runtime, 0);
                     return autoreleased(m.runtime,
                                         m.runtime.newObject(platform::Value(std::move(*stored))));
                   })
      .instance("count", "%U@:",
                [](Message& m) {
                  return integerResult(static_cast<std::int64_t>(
                      m.runtime.state<DictionaryState>(m.self)->entries.size()));
                })
      .instance("objectForKey:", "@@:@",
                [lookupKey](Message& m) { return object(m.runtime, lookupKey(m, m.object(0))); })
      .instance("objectForKeyedSubscript:", "@@:@",
                [lookupKey](Message& m) { return object(m.runtime, lookupKey(m, m.object(0))); })
      .instance("countByEnumeratingWithState:objects:count:", kFastEnumeration,
                [](Message& m) {
                  auto* d = m.runtime.state<DictionaryState>(m.self);
                  std::vector<Address> keys;
                  for (const auto& entry : d->entries) keys.push_back(entry.first);
                  return enumerate(m, keys, &d->mutationsWord);
                })
      .instance("writeToFile:atomically:", "%B@:@%B",
                [](Message& m) {
                  auto path = stringArgument(m, 0);
                  auto value = m.runtime.valueOf(m.self);
                  if (!path || !value || !value->getIf<platform::Dictionary>())
                    return boolean(false);
                  return boolean(platform::writeToFileAtomically(
                      *value->getIf<platform::Dictionary>(), *path));
                })
      .instance("description", "@@:",
                [](Message& m) {
                  return autoreleased(
                      m.runtime,
                      m.runtime.newString(platform::description(*m.runtime.valueOf(m.self))));
                })
      .instance("copyWithZone:", "@@:^{_NSZone=}",
                [](Message& m) { return object(m.runtime, m.runtime.retain(m.self)); });
  defineStandIn(rt, "NSMutableDictionary", "NSDictionary", nsdictionary)
      .classMethod("dictionaryWithCapacity:", "@#:%U",
                   [](Message& m) {
                     return autoreleased(m.runtime, m.runtime.createInstance(
                                                        m.runtime.classNamed("__NSDictionaryM")));
                   })
      .classMethod("dictionary", "@#:",
                   [](Message& m) {
                     return autoreleased(m.runtime, m.runtime.createInstance(
                                                        m.runtime.classNamed("__NSDictionaryM")));
                   })
      .instance("setObject:forKey:", "v@:@@",
                [setKey](Message& m) {
                  setKey(m, m.object(0), m.object(1));
                  return none();
                })
      .instance("setObject:forKeyedSubscript:", "v@:@@", [setKey](Message& m) {
        setKey(m, m.object(0), m.object(1));
        return none();
      });
  defineStandIn(rt, "__NSDictionaryI", "NSDictionary", nsdictionary);
  defineStandIn(rt, "__NSDictionaryM", "NSMutableDictionary", nsdictionary);

  defineStandIn(rt, "NSError", "NSObject", "Foundation/NSError.h")
      .state<ErrorState>()
      .instance("domain", "@@:",
                [](Message& m) {
                  return autoreleased(
                      m.runtime, m.runtime.newString(m.runtime.state<ErrorState>(m.self)->domain));
                })
      .instance("code", "%I@:",
                [](Message& m) { return integerResult(m.runtime.state<ErrorState>(m.self)->code); })
      .instance("localizedDescription", "@@:", [](Message& m) {
        return autoreleased(m.runtime,
                            m.runtime.newString(m.runtime.state<ErrorState>(m.self)->description));
      });

  defineStandIn(rt, "NSException", "NSObject", "Foundation/NSException.h")
      .state<ExceptionState>()
      .instance("name", "@@:",
                [](Message& m) {
                  return autoreleased(
                      m.runtime,
                      m.runtime.newString(m.runtime.state<ExceptionState>(m.self)->name));
                })
      .instance("reason", "@@:", [](Message& m) {
        return autoreleased(m.runtime,
                            m.runtime.newString(m.runtime.state<ExceptionState>(m.self)->reason));
      });

  defineStandIn(rt, "NSFileManager", "NSObject", "Foundation/NSFileManager.h")
      .classMethod("defaultManager", "@#:",
                   [](Message& m) {
                     ClassInfo* cls = instanceClass(m);
                     return object(m.runtime, m.runtime.singleton("NSFileManager", [&] {
                       return m.runtime.createInstance(cls);
                     }));
                   })
      .instance("fileExistsAtPath:", "%B@:@",
                [](Message& m) {
                  auto path = stringArgument(m, 0);
                  return boolean(
                      path && platform::NSFileManager::defaultManager()->fileExistsAtPath(*path));
                })
      .instance(
          "createDirectoryAtPath:withIntermediateDirectories:attributes:error:", "%B@:@%B@^@",
          [](Message& m) {
            auto path = stringArgument(m, 0);
            if (m.object(3)) m.runtime.machine().storePointer(m.object(3), 0);
            return boolean(path && platform::NSFileManager::defaultManager()
                                       ->createDirectoryAtPathWithIntermediateDirectories(*path));
          })
      .instance("removeItemAtPath:error:", "%B@:@^@", [](Message& m) {
        auto path = stringArgument(m, 0);
        if (m.object(1)) m.runtime.machine().storePointer(m.object(1), 0);
        return boolean(path && platform::NSFileManager::defaultManager()->removeItemAtPath(*path));
      });

  // Operation queues run their operations on a queue of the simulated phone.
  defineStandIn(rt, "NSOperationQueue", "NSObject", "Foundation/NSOperation.h")
      .state<OperationQueueState>()
      .instance("init", "@@:",
                [](Message& m) {
                  m.runtime.state<OperationQueueState>(m.self)->queue =
                      std::make_shared<platform::NSOperationQueue>();
                  return object(m.runtime, m.self);
                })
      .instance(
          "setMaxConcurrentOperationCount:", "v@:%I",
          [](Message& m) {
            if (static_cast<std::int64_t>(m.integer(0)) != 1) {
              m.runtime.machine().fault("an operation queue of " + std::to_string(m.integer(0)) +
                                        " concurrent operations: only serial queues are modelled");
            }
            return none();
          })
      .instance("addOperationWithBlock:", "v@:@?", [](Message& m) {
        auto* q = m.runtime.state<OperationQueueState>(m.self);
        if (!q->queue) m.runtime.machine().fault("an operation queue used before -init");
        const Address block = m.runtime.copyBlock(m.object(0));
        Runtime* runtime = &m.runtime;
        q->queue->addOperationWithBlock(hostTask(*runtime, [runtime, block] {
          runtime->invokeBlock(block, {}, Type::voidType());
          runtime->releaseBlock(block);
        }));
        return none();
      });
}

}  // namespace emulator
