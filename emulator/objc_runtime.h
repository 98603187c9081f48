// The Objective-C runtime as the emulated binary sees it: the binary's own classes and
// categories, the system's classes as stand-ins (each answering only the selectors it has on
// iOS 7, with their type encodings), objects with reference counts, autorelease pools, weak
// references, associated objects and blocks, and message dispatch for objc_msgSend.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "abi.h"
#include "machine.h"
#include "platform/value.h"

namespace emulator {

class Runtime;
class Exceptions;
struct ClassInfo;

// What a stand-in instance holds on the host side (a string's text, a session's state).
struct HostState {
  virtual ~HostState() = default;
  // Gives up the objects it holds when its object is freed.
  virtual void releaseReferences(Runtime&) {}
};

// The property-list objects.
struct StringState : HostState {
  std::string text;  // UTF-8
  Address utf8 = 0;  // the buffer -UTF8String handed out, freed with the string
};
struct NumberState : HostState {
  platform::Value value;  // a bool, an int64 or a double
};
struct ArrayState : HostState {
  std::vector<Address> items;
  std::uint64_t mutations = 0;
  Address mutationsWord = 0;
  void releaseReferences(Runtime& runtime) override;
};
struct DictionaryState : HostState {
  std::vector<std::pair<Address, Address>> entries;  // key, value; keys are strings
  Address mutationsWord = 0;
  void releaseReferences(Runtime& runtime) override;
};
struct DateState : HostState {
  double secondsSinceReferenceDate = 0;
};
struct DataState : HostState {
  std::vector<std::uint8_t> bytes;
  Address buffer = 0;  // the emulated copy -bytes hands out
};

// One message to a stand-in's method: its receiver, its arguments read as its signature says.
struct Message {
  Runtime& runtime;
  Address self;
  ClassInfo* receiverClass;
  std::string_view selector;
  Address caller;              // where the message was sent from (0 when the host sent it)
  std::vector<Argument> args;  // the arguments after self and _cmd

  Address object(std::size_t i) const { return args.at(i).bits; }
  std::uint64_t integer(std::size_t i) const { return args.at(i).bits; }
  bool boolean(std::size_t i) const { return (args.at(i).bits & 0xff) != 0; }
  double f64(std::size_t i) const;
  float f32(std::size_t i) const;
};

// A stand-in method: it returns its result as an Argument of the signature's return type.
using NativeMethod = std::function<Argument(Message&)>;

struct MethodEntry {
  std::string selector;
  std::string types;
  Signature signature;
  Address imp = 0;        // an emulated implementation (the binary's, or one it added)
  NativeMethod native;    // a stand-in's implementation
  std::string source;     // where a stand-in's signature comes from
  std::string declared;   // a stand-in's types as written, with %I, %U, %B and %F
  Address nativeImp = 0;  // a callable address for a stand-in's method, made when asked for
  Address handle = 0;     // what class_getInstanceMethod hands out
};

struct ClassInfo {
  std::string name;
  Address address = 0;
  ClassInfo* superclass = nullptr;
  ClassInfo* meta = nullptr;       // the metaclass (for a class)
  ClassInfo* instances = nullptr;  // the class (for a metaclass)
  bool isMeta = false;
  bool fromBinary = false;
  std::uint32_t instanceSize = 16;
  std::map<std::string, MethodEntry, std::less<>> methods;
  // A stand-in's state for each new instance (inherited when null).
  std::function<std::shared_ptr<HostState>(Runtime&)> makeState;
  // Objects of this class that are not made by +alloc (literals, blocks, constants).
  bool literal = false;
  Address nameString = 0;
};

class Runtime {
 public:
  explicit Runtime(Machine& machine);
  // The process ends: the stand-ins' states go without calling back into the binary.
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;
  Machine& machine() { return machine_; }
  Arch arch() const { return machine_.arch(); }

  // --- Classes ----------------------------------------------------------------------------------
  // A stand-in class (and its metaclass) with an emulated class object; `superclass` empty for a
  // root class.
  ClassInfo& defineClass(const std::string& name, const std::string& superclass,
                         std::uint32_t instanceSize = 16);
  // Adds a stand-in instance method ("-") or class method ("+") with its encoding and the source
  // of that encoding.
  void addMethod(ClassInfo& cls, bool classMethod, const std::string& selector,
                 const std::string& types, NativeMethod method, const std::string& source,
                 const std::string& declared = {});
  // Every stand-in method: its class, whether it is a class method, and its entry.
  struct StandInMethod {
    const ClassInfo* cls;
    bool classMethod;
    const MethodEntry* entry;
  };
  std::vector<StandInMethod> standInMethods() const;
  // A class made from the binary's own data, already laid out at `address`.
  ClassInfo& adoptBinaryClass(Address address, Address metaAddress, const std::string& name,
                              ClassInfo* superclass, ClassInfo* superMeta,
                              std::uint32_t instanceSize);
  void addBinaryMethod(ClassInfo& cls, const std::string& selector, const std::string& types,
                       Address imp);
  ClassInfo* classNamed(std::string_view name) const;
  ClassInfo* classAt(Address address) const;
  // The class of an object, a class object's metaclass; null when `object` is none.
  ClassInfo* classOf(Address object) const;
  bool isKindOf(const ClassInfo* cls, std::string_view name) const;
  const MethodEntry* lookup(ClassInfo* cls, std::string_view selector) const;
  // Classes made at run time (objc_allocateClassPair).
  ClassInfo& allocateClassPair(ClassInfo* superclass, const std::string& name);
  // What objc_getClass answers for names no stand-in has yet (the host's SBUserAgent).
  void setClassProvider(std::function<ClassInfo*(std::string_view)> provider) {
    classProvider_ = std::move(provider);
  }
  ClassInfo* findClass(std::string_view name);

  // --- Selectors --------------------------------------------------------------------------------
  Address selector(std::string_view name);
  // The name of the selector at `address`; faults when it is none.
  std::string selectorName(Address address) const;

  // --- Objects ----------------------------------------------------------------------------------
  // A new instance of `cls` (reference count 1), with its stand-in state.
  Address createInstance(ClassInfo* cls, std::uint32_t extraBytes = 0);
  HostState* stateOf(Address object) const;
  template <typename T>
  T* state(Address object) const {
    return dynamic_cast<T*>(stateOf(object));
  }
  bool isObject(Address address) const;
  Address retain(Address object);
  void release(Address object);
  Address autorelease(Address object);
  std::int64_t retainCount(Address object) const;
  bool isDeallocating(Address object) const;
  // Frees an object whose dealloc has reached the root class.
  void destroyInstance(Address object);
  // The number of live objects made by +alloc (leak checks).
  std::size_t liveObjectCount() const { return objects_.size(); }

  // Autorelease pools: a token for push, released to it by pop.
  Address pushPool();
  void popPool(Address token);

  // Weak references (objc_storeWeak and friends).
  Address storeWeak(Address slot, Address object);
  Address loadWeakRetained(Address slot);
  void destroyWeak(Address slot);

  // Associated objects.
  void setAssociated(Address object, Address key, Address value, std::uint64_t policy);
  Address getAssociated(Address object, Address key) const;

  // --- Messages -------------------------------------------------------------------------------
  // The implementation of objc_msgSend (and its super variants) for emulated callers. `stret`:
  // the 32-bit variants for a result returned through memory, whose address comes first.
  void dispatch(NativeCall& call, bool toSuper, bool super2, bool stret = false);
  // A message from the host to an object (a stand-in delivering a frame, a notice, a row's
  // action). Faults when the receiver does not answer.
  Returned send(Address receiver, std::string_view selector, const std::vector<Argument>& args);
  bool respondsTo(Address receiver, std::string_view selector) const;
  // A callable address for a method (what class_getMethodImplementation returns).
  Address implementationOf(const MethodEntry& method);

  // --- Blocks -------------------------------------------------------------------------------
  bool isBlock(Address object) const;
  // _Block_copy: a stack block is copied to the heap (its copy helper run), a heap block gains a
  // reference, a global block is returned as it is.
  Address copyBlock(Address block);
  void releaseBlock(Address block);
  // Calls a block's function with the block first, then `args`.
  Returned invokeBlock(Address block, const std::vector<Argument>& args, const Type& returns);
  // _Block_object_assign and _Block_object_dispose, as a block's helpers call them.
  void assignBlockField(Address destination, Address object, int flags);
  void disposeBlockField(Address object, int flags);

  // --- Values -----------------------------------------------------------------------------------
  // A new object for a property-list value (+1): NSString, NSNumber, NSArray, NSDictionary,
  // NSDate, NSData.
  Address newObject(const platform::Value& value);
  Address newString(std::string_view text);
  // The value an object holds; none for an object that is no property-list value.
  std::optional<platform::Value> valueOf(Address object) const;
  std::optional<std::string> stringOf(Address object) const;
  // What -description answers, as the phone's NSLog shows it.
  std::string describe(Address object);

  // A string constant of the system (kCFPreferencesAnyHost, AVMediaTypeVideo): an immortal
  // NSString at a fixed address.
  Address constantString(std::string_view text);

  // Says what the phone would do wrongly though nothing fails here (once per text), on
  // standard error: the checks that compare emulated and native runs see it.
  void warn(const std::string& text);

  // The exception machinery of the binary's frames.
  Exceptions& exceptions() const { return *exceptions_; }
  void setExceptions(Exceptions* exceptions) { exceptions_ = exceptions; }

  // Keeps `anything` (a framework's shared state) as long as the runtime.
  void keepAlive(std::shared_ptr<void> anything) { kept_.push_back(std::move(anything)); }

  // One object per key for the life of the process (a shared controller, a default manager).
  Address singleton(const std::string& key, const std::function<Address()>& make);

  // The fault that ended the emulation, if one has: from then on the host's calls into the
  // binary do nothing, and the replay reports it.
  const std::optional<std::string>& failure() const { return failure_; }
  void setFailure(std::string message) {
    if (!failure_) failure_ = std::move(message);
  }

  // A symbolic name for an address in faults ("Tonewell.dylib+0x1234").
  void setSymbolizer(std::function<std::string(Address)> symbolizer) {
    symbolizer_ = std::move(symbolizer);
  }
  std::string where(Address address) const;

  // The class CFString literals of the binary point to.
  Address constantStringClass() const { return constantStringClass_; }

 private:
  struct ObjectRecord {
    ClassInfo* cls = nullptr;
    std::int64_t retainCount = 1;
    bool deallocating = false;
    std::shared_ptr<HostState> state;
    std::vector<std::pair<Address, Address>> associated;
  };

  ClassInfo& newClassInfo(const std::string& name, Address address, bool isMeta);
  void writeClassObject(const ClassInfo& cls);
  Argument invokeNative(const MethodEntry& entry, Address self, ClassInfo* cls,
                        std::string_view selector, Address caller, NativeCall& call);
  void checkArgument(const Type& type, const Argument& arg, std::size_t index, const ClassInfo* cls,
                     std::string_view selector, Address caller);
  [[noreturn]] void unanswered(const ClassInfo* cls, std::string_view selector, Address receiver,
                               Address caller) const;
  std::shared_ptr<HostState> makeState(ClassInfo* cls);

  Machine& machine_;
  std::vector<std::unique_ptr<ClassInfo>> classes_;
  std::unordered_map<Address, ClassInfo*> classByAddress_;
  std::unordered_map<std::string, ClassInfo*> classByName_;
  std::unordered_map<std::string, Address> selectors_;
  std::unordered_map<Address, std::string> selectorNames_;
  std::unordered_map<Address, ObjectRecord> objects_;
  std::unordered_map<Address, std::string> literalStrings_;
  std::vector<Address> pool_;
  std::map<Address, std::set<Address>> weakSlots_;  // object -> slots that refer to it weakly
  std::unordered_map<Address, Address> constantStrings_;
  std::unordered_map<Address, std::int64_t> blockCounts_;  // heap blocks' references
  Address booleans_[2] = {0, 0};
  std::unordered_map<std::string, Address> singletons_;
  std::optional<std::string> failure_;
  Exceptions* exceptions_ = nullptr;
  bool tearingDown_ = false;
  bool trace_ = false;
  std::vector<std::shared_ptr<void>> kept_;
  std::set<std::string> warned_;
  mutable std::unordered_map<std::string, const MethodEntry*> lookupCache_;
  std::function<ClassInfo*(std::string_view)> classProvider_;
  std::function<std::string(Address)> symbolizer_;
  Address constantStringClass_ = 0;
  Address emptyCache_ = 0;
};

}  // namespace emulator
