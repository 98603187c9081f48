// The simulated SpringBoard: the SBUserAgent class and its one instance.
#include "platform/sim/springboard.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "platform/sim/phone.h"

namespace sim {

using platform::Class;
using platform::id;
using platform::IMP;
using platform::SEL;
using platform::Value;

namespace {

using NoArguments = void (*)(id, SEL);
using OneArgument = void (*)(id, SEL, id);
using TwoArguments = void (*)(id, SEL, id, id);

struct Raising {
  std::mutex mutex;
  std::string selector;
};

Raising& raising() {
  static Raising r;
  return r;
}

// Raises for the selector chosen by setRaisingHostMethod, as the host's method would.
void raiseIfChosen(SEL selector) {
  auto& r = raising();
  std::lock_guard lock(r.mutex);
  if (!r.selector.empty() && r.selector == selector) {
    throw HostException(std::string("-[SBUserAgent ") + selector + "] raised");
  }
}

// On the simulated phone the host's objects (the ringtone path, the vibration pattern) are
// property-list values.
id asObject(const Value& value) {
  return const_cast<Value*>(&value);
}
const Value* asValue(id object) {
  return static_cast<const Value*>(object);
}

// SpringBoard's own implementations: they start and stop the ringtone.
void stopRingingImpl(id, SEL selector) {
  RingtoneState state = ringtone();
  state.ringing = false;
  setRingtone(std::move(state));
  raiseIfChosen(selector);
}

void playImpl(SEL selector, const Value* path, const Value* pattern) {
  RingtoneState state;
  state.ringing = true;
  if (path) state.path = platform::description(*path);
  if (pattern) state.vibrationPattern = *pattern;
  setRingtone(std::move(state));
  raiseIfChosen(selector);
}

void playRingtoneAtPathImpl(id, SEL selector, id path) {
  playImpl(selector, asValue(path), nullptr);
}

void playRingtoneAtPathVibrationPatternImpl(id, SEL selector, id path, id pattern) {
  playImpl(selector, asValue(path), asValue(pattern));
}

void prepareToAnswerCallImpl(id, SEL selector) {
  raiseIfChosen(selector);
}

// The instance lives at a fixed address where the system allows it, so that log lines that
// print it ("<SBUserAgent: 0x...>") read the same in every replay.
id allocateInstance() {
  constexpr std::uintptr_t kPreferredAddress = 0x10000000;
  void* p = ::mmap(reinterpret_cast<void*>(kPreferredAddress), 4096, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (p == MAP_FAILED) {
    static std::uint64_t fallback[8];
    return fallback;
  }
  return p;
}

Class userAgentClass() {
  return platform::objc_getClass("SBUserAgent");
}

IMP methodFor(SEL selector) {
  return platform::class_getMethodImplementation(userAgentClass(), selector);
}

}  // namespace

void installSpringBoard(const std::vector<std::string>& without) {
  if (userAgentClass() != nullptr) return;
  Class cls = platform::objc_allocateClassPair("SBUserAgent");
  auto add = [&](SEL selector, IMP imp) {
    if (std::find(without.begin(), without.end(), selector) == without.end()) {
      platform::class_addMethod(cls, selector, imp);
    }
  };
  add("stopRinging", reinterpret_cast<IMP>(&stopRingingImpl));
  add("playRingtoneAtPath:", reinterpret_cast<IMP>(&playRingtoneAtPathImpl));
  add("playRingtoneAtPath:vibrationPattern:",
      reinterpret_cast<IMP>(&playRingtoneAtPathVibrationPatternImpl));
  add("prepareToAnswerCall", reinterpret_cast<IMP>(&prepareToAnswerCallImpl));
}

void setRaisingHostMethod(const std::string& selector) {
  auto& r = raising();
  std::lock_guard lock(r.mutex);
  r.selector = selector;
}

id userAgent() {
  static const id instance = allocateInstance();
  return instance;
}

void playRingtoneAtPath(const Value& path) {
  SEL selector = "playRingtoneAtPath:";
  if (IMP imp = methodFor(selector)) {
    reinterpret_cast<OneArgument>(imp)(userAgent(), selector, asObject(path));
  }
}

void playRingtoneAtPathVibrationPattern(const Value& path, const Value& vibrationPattern) {
  SEL selector = "playRingtoneAtPath:vibrationPattern:";
  if (IMP imp = methodFor(selector)) {
    reinterpret_cast<TwoArguments>(imp)(userAgent(), selector, asObject(path),
                                        asObject(vibrationPattern));
  }
}

void prepareToAnswerCall() {
  SEL selector = "prepareToAnswerCall";
  if (IMP imp = methodFor(selector)) reinterpret_cast<NoArguments>(imp)(userAgent(), selector);
}

void stopRinging() {
  SEL selector = "stopRinging";
  if (IMP imp = methodFor(selector)) reinterpret_cast<NoArguments>(imp)(userAgent(), selector);
}

}  // namespace sim

namespace platform {

std::string describeObject(id object) {
  if (object == nullptr) return "(null)";
  if (object == sim::userAgent()) {
    char text[64];
    std::snprintf(text, sizeof text, "<SBUserAgent: %p>", object);
    return text;
  }
  return description(*static_cast<const Value*>(object));
}

}  // namespace platform
