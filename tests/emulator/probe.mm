// A small phone binary for the emulator's own tests, built without an iPhoneOS SDK: its own
// root class and a category, a block run on a dispatch queue, C++ strings, float and double
// arguments, exceptions caught and passed through, imports bound lazily and pointers rebased.
// The test (tests/emulator_test.cpp) calls its exported functions on the emulated CPU.
#include <cstring>
#include <string>

// What the system declares, declared here: the probe needs no SDK.
extern "C" {
id class_createInstance(Class cls, unsigned long extraBytes) __attribute__((ns_returns_retained));
id object_dispose(id object);
id objc_getClass(const char* name);
id objc_msgSend(id self, SEL selector, ...);
id dispatch_queue_create(const char* label, void* attributes) __attribute__((ns_returns_retained));
void dispatch_async(id queue, void (^block)(void));
}

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT int gProbeCounter = 0;
EXPORT int gProbeCleanups = 0;
EXPORT int gProbeDeallocs = 0;

__attribute__((objc_root_class, objc_exception))
@interface NSException
@end

// A class of the system, served by the test's stand-in.
__attribute__((objc_root_class))
@interface TWProbeHost
+ (void)recordFloat:(float)f double:(double)d;
+ (void)raiseHostException;
+ (void)raiseObjectiveCException;
@end

__attribute__((objc_root_class))
@interface TWProbeRoot {
  Class isa;
}
+ (instancetype)alloc;
- (instancetype)init;
@end

@implementation TWProbeRoot
+ (instancetype)alloc {
  return class_createInstance(self, 0);
}
- (instancetype)init {
  return self;
}
- (void)dealloc {
  ++gProbeDeallocs;
  object_dispose(self);
}
@end

@interface TWProbeRoot (Twice)
- (long)twice:(long)value;
@end

@implementation TWProbeRoot (Twice)
- (long)twice:(long)value {
  return value * 2;
}
@end

// A subclass with a C++ member: the runtime constructs and destroys it with the object.
@interface TWProbeNamed : TWProbeRoot {
 @public
  std::string _name;
  int _value;
}
@end

@implementation TWProbeNamed
@end

namespace {

struct ProbeError {
  int code;
};

struct Cleanup {
  ~Cleanup() { ++gProbeCleanups; }
};

const char* const kNames[] = {"phone", "binary", "rebased"};

}  // namespace

EXPORT long twProbeCategory() {
  TWProbeRoot* root = [[TWProbeRoot alloc] init];
  return [root twice:21];
}

EXPORT void twProbeFloatAndDouble() {
  [TWProbeHost recordFloat:0.25f double:0.1];
}

// The method reads a float and a double; this caller passes two doubles.
EXPORT void twProbeWrongKind() {
  reinterpret_cast<void (*)(id, SEL, double, double)>(objc_msgSend)(
      objc_getClass("TWProbeHost"), @selector(recordFloat:double:), 0.25, 0.1);
  ++gProbeCounter;  // not a tail call: the fault names this function as the sender
}

EXPORT void twProbeMissingMessage() {
  reinterpret_cast<void (*)(id, SEL)>(objc_msgSend)(objc_getClass("TWProbeHost"),
                                                    @selector(noSuchMessage));
  ++gProbeCounter;
}

EXPORT void twProbeBlockOnQueue() {
  id queue = dispatch_queue_create("probeQueue", nullptr);
  TWProbeNamed* captured = [[TWProbeNamed alloc] init];
  captured->_value = 5;
  captured->_name = "a name longer than the short string's twenty-two characters";
  dispatch_async(queue, ^{
    gProbeCounter += captured->_value + static_cast<int>(captured->_name.size());
  });
}

// Two camera sessions, the newer started right after the older one stopped, from one queue or
// from two.
EXPORT void twProbeCameraHandOver(int oneQueue) {
  id (*send)(id, SEL) = reinterpret_cast<id (*)(id, SEL)>(objc_msgSend);
  id sessionClass = objc_getClass("AVCaptureSession");
  id older = send(send(sessionClass, @selector(alloc)), @selector(init));
  id newer = send(send(sessionClass, @selector(alloc)), @selector(init));
  id first = dispatch_queue_create("control", nullptr);
  id second = oneQueue ? first : dispatch_queue_create("another control", nullptr);
  dispatch_async(first, ^{
    send(older, @selector(startRunning));
  });
  dispatch_async(first, ^{
    send(older, @selector(stopRunning));
  });
  dispatch_async(second, ^{
    send(newer, @selector(startRunning));
  });
}

EXPORT unsigned long twProbeString(char* out, unsigned long size) {
  std::string s = "phone";
  s += " binary ";
  s.append(std::to_string(64));
  s.push_back('!');
  std::string copy = s;
  copy.insert(0, ">");
  copy.append(" and a tail that makes it long", 30);
  std::strncpy(out, copy.c_str(), size);
  return copy.size();
}

EXPORT int twProbeCaughtException() {
  try {
    Cleanup cleanup;
    throw ProbeError{7};
  } catch (const ProbeError& e) {
    return e.code;
  }
  return -1;
}

EXPORT int twProbeLibraryException() {
  std::string s("ab");
  try {
    s.insert(5, "x");
  } catch (const std::exception& e) {
    return std::strcmp(e.what(), "basic_string") == 0 ? 1 : 2;
  }
  return 0;
}

EXPORT void twProbeHostExceptionPasses() {
  Cleanup cleanup;
  [TWProbeHost raiseHostException];
}

EXPORT int twProbeObjectiveCCatch() {
  @try {
    [TWProbeHost raiseObjectiveCException];
  } @catch (NSException* e) {
    return 1;
  }
  return 0;
}

// catch (...) has a null type entry, which must stay null (it is pc-relative when not).
EXPORT int twProbeCatchAll() {
  try {
    [TWProbeHost raiseObjectiveCException];
  } catch (...) {
    return 3;
  }
  return 0;
}

EXPORT unsigned long twProbeRebased(unsigned index) {
  return std::strlen(kNames[index % 3]);
}
