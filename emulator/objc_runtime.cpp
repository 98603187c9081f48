#include "objc_runtime.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace emulator {

namespace {

constexpr Address kPoolTokenBase = 0x7e000000;

std::string methodName(const ClassInfo* cls, std::string_view selector) {
  if (cls == nullptr) return std::string("?[? ") + std::string(selector) + "]";
  const bool meta = cls->isMeta;
  const std::string& name = meta && cls->instances ? cls->instances->name : cls->name;
  return std::string(meta ? "+[" : "-[") + name + " " + std::string(selector) + "]";
}

}  // namespace

double Message::f64(std::size_t i) const {
  double d;
  const std::uint64_t bits = args.at(i).bits;
  std::memcpy(&d, &bits, 8);
  return d;
}

float Message::f32(std::size_t i) const {
  float f;
  const std::uint32_t bits = static_cast<std::uint32_t>(args.at(i).bits);
  std::memcpy(&f, &bits, 4);
  return f;
}

void ArrayState::releaseReferences(Runtime& runtime) {
  for (Address item : items) runtime.release(item);
  items.clear();
}

void DictionaryState::releaseReferences(Runtime& runtime) {
  for (const auto& [key, value] : entries) {
    runtime.release(key);
    runtime.release(value);
  }
  entries.clear();
}

Runtime::Runtime(Machine& machine) : machine_(machine) {
  // TONEWELL_EMULATOR_TRACE=1 prints every message the binary sends.
  const char* trace = std::getenv("TONEWELL_EMULATOR_TRACE");
  trace_ = trace && *trace && std::string(trace) != "0";
  emptyCache_ = machine_.allocateStatic(64);
  pool_.reserve(1024);
}

Runtime::~Runtime() {
  tearingDown_ = true;
  auto objects = std::move(objects_);
  objects_.clear();
  objects.clear();
}

// --- Classes ---------------------------------------------------------------------------------

ClassInfo& Runtime::newClassInfo(const std::string& name, Address address, bool isMeta) {
  auto info = std::make_unique<ClassInfo>();
  info->name = name;
  info->address = address;
  info->isMeta = isMeta;
  info->nameString = machine_.internString(name);
  ClassInfo& ref = *info;
  classes_.push_back(std::move(info));
  classByAddress_[address] = &ref;
  if (!isMeta) classByName_[name] = &ref;
  return ref;
}

void Runtime::writeClassObject(const ClassInfo& cls) {
  const unsigned p = machine_.pointerSize();
  // isa, superclass, cache, vtable, data: the shape the binary's own classes have.
  Address isa = 0;
  if (cls.isMeta) {
    const ClassInfo* root = &cls;
    while (root->superclass && root->superclass->isMeta) root = root->superclass;
    isa = root->address;
  } else if (cls.meta) {
    isa = cls.meta->address;
  }
  machine_.storePointer(cls.address, isa);
  machine_.storePointer(cls.address + p, cls.superclass ? cls.superclass->address : 0);
  machine_.storePointer(cls.address + 2 * p, emptyCache_);
  machine_.storePointer(cls.address + 3 * p, 0);
  machine_.storePointer(cls.address + 4 * p, 0);
}

ClassInfo& Runtime::defineClass(const std::string& name, const std::string& superclass,
                                std::uint32_t instanceSize) {
  if (ClassInfo* existing = classNamed(name)) return *existing;
  ClassInfo* super = nullptr;
  if (!superclass.empty()) {
    super = classNamed(superclass);
    if (super == nullptr) machine_.fault("stand-in class " + name + " before " + superclass);
  }
  const unsigned p = machine_.pointerSize();
  const Address classAddress = machine_.allocateStatic(8 * p, 16);
  const Address metaAddress = machine_.allocateStatic(8 * p, 16);
  ClassInfo& cls = newClassInfo(name, classAddress, false);
  ClassInfo& meta = newClassInfo(name, metaAddress, true);
  cls.meta = &meta;
  meta.instances = &cls;
  cls.superclass = super;
  // A root class's metaclass inherits from the class itself.
  meta.superclass = super ? super->meta : &cls;
  cls.instanceSize = std::max(instanceSize, super ? super->instanceSize : 2 * p);
  writeClassObject(cls);
  writeClassObject(meta);
  if (name == "__NSCFConstantString") constantStringClass_ = classAddress;
  return cls;
}

void Runtime::addMethod(ClassInfo& cls, bool classMethod, const std::string& selector,
                        const std::string& types, NativeMethod method, const std::string& source,
                        const std::string& declared) {
  ClassInfo& target = classMethod ? *cls.meta : cls;
  auto signature = parseSignature(types, arch());
  if (!signature) machine_.fault("bad type encoding " + types + " for " + selector);
  MethodEntry& entry = target.methods[selector];
  entry.selector = selector;
  entry.types = types;
  entry.signature = std::move(*signature);
  entry.native = std::move(method);
  entry.imp = 0;
  entry.source = source;
  entry.declared = declared.empty() ? types : declared;
  lookupCache_.clear();
}

std::vector<Runtime::StandInMethod> Runtime::standInMethods() const {
  std::vector<StandInMethod> out;
  for (const auto& cls : classes_) {
    if (cls->fromBinary) continue;
    for (const auto& [selector, entry] : cls->methods) {
      if (entry.native)
        out.push_back({cls->isMeta ? cls->instances : cls.get(), cls->isMeta, &entry});
    }
  }
  return out;
}

ClassInfo& Runtime::adoptBinaryClass(Address address, Address metaAddress, const std::string& name,
                                     ClassInfo* superclass, ClassInfo* superMeta,
                                     std::uint32_t instanceSize) {
  ClassInfo& cls = newClassInfo(name, address, false);
  ClassInfo& meta = newClassInfo(name, metaAddress, true);
  cls.meta = &meta;
  meta.instances = &cls;
  cls.superclass = superclass;
  meta.superclass = superMeta ? superMeta : &cls;
  cls.fromBinary = meta.fromBinary = true;
  cls.instanceSize = instanceSize;
  return cls;
}

void Runtime::addBinaryMethod(ClassInfo& cls, const std::string& selector, const std::string& types,
                              Address imp) {
  MethodEntry& entry = cls.methods[selector];
  entry.selector = selector;
  entry.types = types;
  if (auto signature = parseSignature(types, arch())) entry.signature = std::move(*signature);
  entry.imp = imp;
  entry.native = nullptr;
  entry.source = "the binary";
  lookupCache_.clear();
}

ClassInfo* Runtime::classNamed(std::string_view name) const {
  auto it = classByName_.find(std::string(name));
  return it == classByName_.end() ? nullptr : it->second;
}

ClassInfo* Runtime::findClass(std::string_view name) {
  if (ClassInfo* cls = classNamed(name)) return cls;
  return classProvider_ ? classProvider_(name) : nullptr;
}

ClassInfo* Runtime::classAt(Address address) const {
  auto it = classByAddress_.find(address);
  return it == classByAddress_.end() ? nullptr : it->second;
}

ClassInfo* Runtime::classOf(Address object) const {
  if (object == 0) return nullptr;
  if (auto it = objects_.find(object); it != objects_.end()) return it->second.cls;
  if (ClassInfo* cls = classAt(object))
    return cls->isMeta ? classAt(machine_.loadPointer(object)) : cls->meta;
  // Objects we did not make: the binary's string literals and blocks.
  if (object % 4 != 0 || !machine_.isMapped(object, machine_.pointerSize())) return nullptr;
  if (machine_.isFreedBlock(object)) return nullptr;
  ClassInfo* isa = classAt(machine_.loadPointer(object));
  return isa && isa->literal ? isa : nullptr;
}

bool Runtime::isObject(Address address) const {
  return classOf(address) != nullptr;
}

bool Runtime::isKindOf(const ClassInfo* cls, std::string_view name) const {
  for (; cls; cls = cls->superclass) {
    if (cls->name == name) return true;
  }
  return false;
}

const MethodEntry* Runtime::lookup(ClassInfo* cls, std::string_view selector) const {
  std::string key(selector);
  key.push_back('\0');
  key.append(reinterpret_cast<const char*>(&cls), sizeof cls);
  if (auto it = lookupCache_.find(key); it != lookupCache_.end()) return it->second;
  const MethodEntry* found = nullptr;
  for (ClassInfo* c = cls; c && !found; c = c->superclass) {
    auto it = c->methods.find(selector);
    if (it != c->methods.end()) found = &it->second;
  }
  lookupCache_.emplace(std::move(key), found);
  return found;
}

ClassInfo& Runtime::allocateClassPair(ClassInfo* superclass, const std::string& name) {
  ClassInfo& cls = defineClass(name, superclass ? superclass->name : std::string());
  return cls;
}

void Runtime::warn(const std::string& text) {
  if (warned_.insert(text).second) std::fprintf(stderr, "emulator: warning: %s\n", text.c_str());
}

Address Runtime::singleton(const std::string& key, const std::function<Address()>& make) {
  auto it = singletons_.find(key);
  if (it != singletons_.end()) return it->second;
  const Address made = make();
  singletons_.emplace(key, made);
  return made;
}

// --- Selectors -------------------------------------------------------------------------------

Address Runtime::selector(std::string_view name) {
  auto it = selectors_.find(std::string(name));
  if (it != selectors_.end()) return it->second;
  const Address at = machine_.internString(name);
  selectors_.emplace(std::string(name), at);
  selectorNames_.emplace(at, std::string(name));
  return at;
}

std::string Runtime::selectorName(Address address) const {
  if (auto it = selectorNames_.find(address); it != selectorNames_.end()) return it->second;
  if (address == 0) machine_.fault("a null selector");
  // A selector the binary made itself without registering it: its name is still readable.
  return machine_.readCString(address, 4096);
}

// --- Objects ---------------------------------------------------------------------------------

std::shared_ptr<HostState> Runtime::makeState(ClassInfo* cls) {
  for (ClassInfo* c = cls; c; c = c->superclass) {
    if (c->makeState) return c->makeState(*this);
  }
  return nullptr;
}

Address Runtime::createInstance(ClassInfo* cls, std::uint32_t extraBytes) {
  if (cls == nullptr || cls->isMeta) machine_.fault("an instance of no class");
  const Address object = machine_.allocate(cls->instanceSize + extraBytes);
  machine_.storePointer(object, cls->address);
  ObjectRecord record;
  record.cls = cls;
  objects_.emplace(object, std::move(record));
  objects_[object].state = makeState(cls);
  // C++ members of the binary's classes are constructed with the object, base classes first.
  std::vector<const MethodEntry*> constructors;
  for (ClassInfo* c = cls; c; c = c->superclass) {
    auto m = c->methods.find(".cxx_construct");
    if (m != c->methods.end() && m->second.imp) constructors.push_back(&m->second);
  }
  for (auto it = constructors.rbegin(); it != constructors.rend(); ++it) {
    machine_.call((*it)->imp, {Argument::pointer(arch(), object),
                               Argument::pointer(arch(), selector(".cxx_construct"))});
  }
  return object;
}

HostState* Runtime::stateOf(Address object) const {
  auto it = objects_.find(object);
  return it == objects_.end() ? nullptr : it->second.state.get();
}

Address Runtime::retain(Address object) {
  if (object == 0 || tearingDown_) return object;
  auto it = objects_.find(object);
  if (it != objects_.end()) {
    if (it->second.deallocating) return object;
    ++it->second.retainCount;
    return object;
  }
  if (auto count = blockCounts_.find(object); count != blockCounts_.end()) {
    ++count->second;
    return object;
  }
  if (!isObject(object)) {
    machine_.fault("retain of " + Machine::hex(object) + ", which is no object" +
                   (machine_.isFreedBlock(object) ? " (it was freed)" : ""));
  }
  return object;  // classes, literals, stack and global blocks live on their own
}

void Runtime::release(Address object) {
  if (object == 0 || tearingDown_) return;
  auto it = objects_.find(object);
  if (it == objects_.end()) {
    if (blockCounts_.count(object)) {
      releaseBlock(object);
      return;
    }
    if (!isObject(object)) {
      machine_.fault("release of " + Machine::hex(object) + ", which is no object" +
                     (machine_.isFreedBlock(object) ? " (it was already freed)" : ""));
    }
    return;
  }
  if (it->second.deallocating) return;
  if (--it->second.retainCount > 0) return;
  it->second.deallocating = true;
  send(object, "dealloc", {});
}

Address Runtime::autorelease(Address object) {
  if (object == 0) return 0;
  if (!isObject(object) && !blockCounts_.count(object)) {
    machine_.fault("autorelease of " + Machine::hex(object) + ", which is no object");
  }
  pool_.push_back(object);
  return object;
}

std::int64_t Runtime::retainCount(Address object) const {
  auto it = objects_.find(object);
  return it == objects_.end() ? 0 : it->second.retainCount;
}

bool Runtime::isDeallocating(Address object) const {
  auto it = objects_.find(object);
  return it != objects_.end() && it->second.deallocating;
}

void Runtime::destroyInstance(Address object) {
  auto it = objects_.find(object);
  if (it == objects_.end()) return;
  // C++ members and strong instance variables of the binary's classes, most derived first.
  for (ClassInfo* c = it->second.cls; c; c = c->superclass) {
    auto m = c->methods.find(".cxx_destruct");
    if (m != c->methods.end() && m->second.imp) {
      machine_.call(m->second.imp, {Argument::pointer(arch(), object),
                                    Argument::pointer(arch(), selector(".cxx_destruct"))});
    }
  }
  it = objects_.find(object);
  if (it == objects_.end()) return;
  auto associated = std::move(it->second.associated);
  auto state = std::move(it->second.state);
  for (const auto& [key, value] : associated) release(value);
  if (state) state->releaseReferences(*this);
  if (auto weak = weakSlots_.find(object); weak != weakSlots_.end()) {
    for (Address slot : weak->second) {
      if (machine_.loadPointer(slot) == object) machine_.storePointer(slot, 0);
    }
    weakSlots_.erase(weak);
  }
  if (auto* text = dynamic_cast<StringState*>(state.get()); text && text->utf8) {
    machine_.deallocate(text->utf8);
  }
  if (auto* data = dynamic_cast<DataState*>(state.get()); data && data->buffer) {
    machine_.deallocate(data->buffer);
  }
  objects_.erase(object);
  machine_.deallocate(object);
}

Address Runtime::pushPool() {
  return kPoolTokenBase + pool_.size();
}

void Runtime::popPool(Address token) {
  if (token < kPoolTokenBase || token - kPoolTokenBase > pool_.size()) {
    machine_.fault("an autorelease pool popped with a token it never gave: " + Machine::hex(token));
  }
  const std::size_t keep = token - kPoolTokenBase;
  while (pool_.size() > keep) {
    const Address object = pool_.back();
    pool_.pop_back();
    release(object);
  }
}

Address Runtime::storeWeak(Address slot, Address object) {
  const Address old = machine_.loadPointer(slot);
  if (old) {
    if (auto it = weakSlots_.find(old); it != weakSlots_.end()) it->second.erase(slot);
  }
  if (object && isDeallocating(object)) object = 0;
  if (object && objects_.count(object)) weakSlots_[object].insert(slot);
  machine_.storePointer(slot, object);
  return object;
}

Address Runtime::loadWeakRetained(Address slot) {
  const Address object = machine_.loadPointer(slot);
  if (object == 0) return 0;
  if (objects_.count(object)) return isDeallocating(object) ? 0 : retain(object);
  return isObject(object) ? object : 0;
}

void Runtime::destroyWeak(Address slot) {
  storeWeak(slot, 0);
}

void Runtime::setAssociated(Address object, Address key, Address value, std::uint64_t policy) {
  auto it = objects_.find(object);
  if (it == objects_.end()) {
    machine_.fault("an associated object set on " + Machine::hex(object) +
                   ", which is no object made by +alloc");
  }
  const bool retains = policy == 1 || policy == 3 || policy == 01401 || policy == 01403;
  if (!retains && policy != 0) {
    machine_.fault("an associated object policy of " + std::to_string(policy));
  }
  if (value && retains) retain(value);
  auto& list = it->second.associated;
  Address old = 0;
  for (auto entry = list.begin(); entry != list.end(); ++entry) {
    if (entry->first == key) {
      old = entry->second;
      list.erase(entry);
      break;
    }
  }
  // Assigned (unretained) values are kept as 0-policy entries: only retained ones are released.
  if (value) {
    if (retains) {
      objects_[object].associated.emplace_back(key, value);
    }
  }
  if (old) release(old);
}

Address Runtime::getAssociated(Address object, Address key) const {
  auto it = objects_.find(object);
  if (it == objects_.end()) return 0;
  for (const auto& [k, v] : it->second.associated) {
    if (k == key) return v;
  }
  return 0;
}

// --- Messages --------------------------------------------------------------------------------

std::string Runtime::where(Address address) const {
  if (address == 0) return "the host";
  return symbolizer_ ? symbolizer_(address) : Machine::hex(address);
}

void Runtime::unanswered(const ClassInfo* cls, std::string_view selector, Address receiver,
                         Address caller) const {
  machine_.fault(methodName(cls, selector) + ": the class answers no such message on iOS 7 " +
                 "(receiver " + Machine::hex(receiver) + ", sent from " + where(caller) + ")");
}

void Runtime::checkArgument(const Type& type, const Argument& arg, std::size_t index,
                            const ClassInfo* cls, std::string_view selector, Address caller) {
  auto wrong = [&](const std::string& what) {
    machine_.fault("argument " + std::to_string(index + 1) + " of " + methodName(cls, selector) +
                   " is " + what + " where the method reads " + type.describe() + " (sent from " +
                   where(caller) + ")");
  };
  switch (type.kind) {
    case Type::Kind::kObject:
    case Type::Kind::kBlock:
    case Type::Kind::kClass:
      if (arg.bits != 0 && !isObject(arg.bits)) {
        wrong(Machine::hex(arg.bits) + (machine_.isFreedBlock(arg.bits) ? ", a deallocated object,"
                                                                        : ", which is no object,"));
      }
      if (type.kind == Type::Kind::kBlock && arg.bits != 0 && !isBlock(arg.bits)) {
        wrong("an object that is no block");
      }
      break;
    case Type::Kind::kSelector:
      if (arg.bits != 0 && !selectorNames_.count(arg.bits)) wrong("no selector");
      break;
    case Type::Kind::kPointer:
      if (arg.bits != 0 && !machine_.isMapped(arg.bits)) {
        wrong(Machine::hex(arg.bits) + ", an address that is not mapped,");
      }
      break;
    default:
      break;
  }
}

Argument Runtime::invokeNative(const MethodEntry& entry, Address self, ClassInfo* cls,
                               std::string_view selector, Address caller, NativeCall& call) {
  Message message{*this, self, cls, selector, caller, {}};
  const auto& types = entry.signature.arguments;
  for (std::size_t i = 2; i < types.size(); ++i) {
    Argument arg;
    try {
      arg = call.next(types[i]);
    } catch (const EmulationFault& fault) {
      machine_.fault("argument " + std::to_string(i - 1) + " of " + methodName(cls, selector) +
                     ": " + fault.what() + " (sent from " + where(caller) + ")");
    }
    checkArgument(types[i], arg, i - 2, cls, selector, caller);
    message.args.push_back(std::move(arg));
  }
  return entry.native(message);
}

void Runtime::dispatch(NativeCall& call, bool toSuper, bool super2, bool stret) {
  const Address caller = machine_.returnAddress();
  // The result's address comes first: the receiver and selector follow it.
  Type memoryResult;
  memoryResult.kind = Type::Kind::kStruct;
  memoryResult.size = 64;
  if (stret) call.prepareAggregateResult(memoryResult);
  const unsigned receiverRegister = stret ? 1 : 0;
  const Address first = call.pointer();
  const Address selectorAddress = call.pointer();
  Address self = first;
  ClassInfo* start = nullptr;
  if (toSuper) {
    if (first == 0) machine_.fault("a message to super with no objc_super, from " + where(caller));
    self = machine_.loadPointer(first);
    ClassInfo* named = classAt(machine_.loadPointer(first + machine_.pointerSize()));
    if (named == nullptr) machine_.fault("a message to super of no class, from " + where(caller));
    start = super2 ? named->superclass : named;
  }
  if (self == 0) {
    // A message to nil answers zero, in every result register (a result in memory is left).
    if (stret) return;
    call.setResult(Type::integer(8, false), Argument::integer(0, 8, false));
    call.setResult(Type::f64(), Argument::f64(0));
    return;
  }
  const std::string name = selectorName(selectorAddress);
  ClassInfo* cls = classOf(self);
  if (cls == nullptr) {
    machine_.fault(
        std::string("message ") + name + " sent to " + Machine::hex(self) +
        (machine_.isFreedBlock(self) ? ", a deallocated object" : ", which is no object") +
        ", from " + where(caller));
  }
  if (!toSuper) start = cls;
  const MethodEntry* entry = lookup(start, name);
  if (trace_) {
    std::fprintf(stderr, "emulator: %s%s from %s\n", methodName(cls, name).c_str(),
                 toSuper ? " (super)" : "", where(caller).c_str());
  }
  if (entry == nullptr) unanswered(cls, name, self, caller);
  if (!is64Bit(arch()) && returnsAggregateInMemory(arch(), entry->signature.returns) != stret) {
    machine_.fault(methodName(cls, name) + " returns " + entry->signature.returns.describe() +
                   ", but it was sent with " + (stret ? "objc_msgSend_stret" : "objc_msgSend") +
                   " from " + where(caller));
  }
  if (entry->imp) {
    if (toSuper) machine_.setReg(machine_.abi().argumentRegister(receiverRegister), self);
    machine_.continueAt(entry->imp);
    return;
  }
  Argument result = invokeNative(*entry, self, cls, name, caller, call);
  call.setResult(entry->signature.returns, result);
}

Returned Runtime::send(Address receiver, std::string_view selectorText,
                       const std::vector<Argument>& args) {
  ClassInfo* cls = classOf(receiver);
  if (cls == nullptr) {
    machine_.fault("message " + std::string(selectorText) + " sent by the host to " +
                   Machine::hex(receiver) + ", which is no object");
  }
  const MethodEntry* entry = lookup(cls, selectorText);
  if (entry == nullptr) unanswered(cls, selectorText, receiver, 0);
  const Signature& signature = entry->signature;
  if (entry->imp) {
    std::vector<Argument> full;
    full.push_back(Argument::pointer(arch(), receiver));
    full.push_back(Argument::pointer(arch(), selector(selectorText)));
    for (std::size_t i = 0; i < args.size(); ++i) {
      Argument arg = args[i];
      // The callee reads each argument as its own signature says (an enum the system passes in
      // 32 bits may be declared wider by the receiver).
      if (i + 2 < signature.arguments.size()) {
        const Type& declared = signature.arguments[i + 2];
        if ((declared.isInteger() && arg.type.isInteger()) ||
            (declared.isPointerLike() && arg.type.isPointerLike())) {
          arg.type = declared;
        }
      }
      full.push_back(std::move(arg));
    }
    return machine_.call(entry->imp, full, signature.returns);
  }
  Message message{*this, receiver, cls, selectorText, 0, args};
  const Argument result = entry->native(message);
  Returned out;
  out.integer = result.bits;
  std::memcpy(&out.f64, &result.bits, 8);
  std::memcpy(&out.f32, &result.bits, 4);
  out.bytes = result.bytes;
  return out;
}

bool Runtime::respondsTo(Address receiver, std::string_view selectorText) const {
  ClassInfo* cls = classOf(receiver);
  return cls && lookup(cls, selectorText) != nullptr;
}

Address Runtime::implementationOf(const MethodEntry& method) {
  if (method.imp) return method.imp;
  if (method.nativeImp) return method.nativeImp;
  auto& entry = const_cast<MethodEntry&>(method);
  const MethodEntry* target = &method;
  entry.nativeImp =
      machine_.addNative(entry.selector, [this, target](Machine& m, NativeCall& call) {
        const Address self = call.pointer();
        const Address sel = call.pointer();
        const Address caller = m.returnAddress();
        Argument result =
            invokeNative(*target, self, classOf(self), selectorName(sel), caller, call);
        call.setResult(target->signature.returns, result);
      });
  return entry.nativeImp;
}

// --- Blocks ----------------------------------------------------------------------------------

namespace {
constexpr int kBlockNeedsFree = 1 << 24;
constexpr int kBlockHasCopyDispose = 1 << 25;
constexpr int kBlockIsGlobal = 1 << 28;
constexpr int kByrefNeedsFree = 1 << 24;
constexpr int kByrefHasCopyDispose = 1 << 25;
constexpr int kFieldIsObject = 3;
constexpr int kFieldIsBlock = 7;
constexpr int kFieldIsByref = 8;
constexpr int kFieldIsWeak = 16;
constexpr int kByrefCaller = 128;
}  // namespace

bool Runtime::isBlock(Address object) const {
  const ClassInfo* cls = classOf(object);
  return cls && isKindOf(cls, "NSBlock");
}

Address Runtime::copyBlock(Address block) {
  if (block == 0) return 0;
  if (auto it = blockCounts_.find(block); it != blockCounts_.end()) {
    ++it->second;
    return block;
  }
  const ClassInfo* cls = classOf(block);
  if (cls == nullptr || !isKindOf(cls, "NSBlock")) {
    machine_.fault("a block copy of " + Machine::hex(block) + ", which is no block");
  }
  const unsigned p = machine_.pointerSize();
  const int flags = machine_.load<std::int32_t>(block + p);
  if ((flags & kBlockIsGlobal) || cls->name == "__NSGlobalBlock__") return block;
  const Address descriptor = machine_.loadPointer(block + p + 8 + p);
  const Address size = machine_.loadPointer(descriptor + p);
  if (size < 2 * p + 8 || size > (1u << 20)) {
    machine_.fault("a block at " + Machine::hex(block) + " with a size of " + std::to_string(size));
  }
  const Address copy = machine_.allocate(size);
  const auto bytes = machine_.readBytes(block, size);
  machine_.write(copy, bytes.data(), bytes.size());
  machine_.storePointer(copy, classNamed("__NSMallocBlock__")->address);
  machine_.store<std::int32_t>(copy + p, (flags & ~0xfffe) | kBlockNeedsFree | 2);
  blockCounts_[copy] = 1;
  if (flags & kBlockHasCopyDispose) {
    const Address copyHelper = machine_.loadPointer(descriptor + 2 * p);
    if (copyHelper) {
      machine_.call(copyHelper,
                    {Argument::pointer(arch(), copy), Argument::pointer(arch(), block)});
    }
  }
  return copy;
}

void Runtime::releaseBlock(Address block) {
  if (tearingDown_) return;
  auto it = blockCounts_.find(block);
  if (it == blockCounts_.end()) return;
  if (--it->second > 0) return;
  blockCounts_.erase(it);
  const unsigned p = machine_.pointerSize();
  const int flags = machine_.load<std::int32_t>(block + p);
  if (flags & kBlockHasCopyDispose) {
    const Address descriptor = machine_.loadPointer(block + p + 8 + p);
    const Address dispose = machine_.loadPointer(descriptor + 3 * p);
    if (dispose) machine_.call(dispose, {Argument::pointer(arch(), block)});
  }
  machine_.deallocate(block);
}

Returned Runtime::invokeBlock(Address block, const std::vector<Argument>& args,
                              const Type& returns) {
  if (!isBlock(block)) machine_.fault("a call of " + Machine::hex(block) + ", which is no block");
  const unsigned p = machine_.pointerSize();
  const Address invoke = machine_.loadPointer(block + p + 8);
  std::vector<Argument> full;
  full.push_back(Argument::pointer(arch(), block));
  full.insert(full.end(), args.begin(), args.end());
  return machine_.call(invoke, full, returns);
}

void Runtime::assignBlockField(Address destination, Address object, int flags) {
  const unsigned p = machine_.pointerSize();
  switch (flags & 0xff) {
    case kFieldIsObject:
      retain(object);
      machine_.storePointer(destination, object);
      return;
    case kFieldIsBlock:
      machine_.storePointer(destination, copyBlock(object));
      return;
    case kFieldIsByref:
    case kFieldIsByref | kFieldIsWeak: {
      // A __block variable: moved to the heap the first time a block that uses it is copied.
      const Address source = machine_.loadPointer(object + p);  // forwarding
      const int byrefFlags = machine_.load<std::int32_t>(source + 2 * p);
      if (byrefFlags & kByrefNeedsFree) {
        machine_.store<std::int32_t>(source + 2 * p, byrefFlags + 2);
        machine_.storePointer(destination, source);
        return;
      }
      const std::uint32_t size = machine_.load<std::uint32_t>(source + 2 * p + 4);
      const Address copy = machine_.allocate(size);
      const auto bytes = machine_.readBytes(source, size);
      machine_.write(copy, bytes.data(), bytes.size());
      machine_.store<std::int32_t>(copy + 2 * p, byrefFlags | kByrefNeedsFree | 4);
      machine_.storePointer(copy + p, copy);
      machine_.storePointer(source + p, copy);
      if (byrefFlags & kByrefHasCopyDispose) {
        const Address keep = machine_.loadPointer(source + 2 * p + 8);
        if (keep) {
          machine_.call(keep, {Argument::pointer(arch(), copy), Argument::pointer(arch(), source)});
        }
      }
      machine_.storePointer(destination, copy);
      return;
    }
    case kByrefCaller | kFieldIsObject:
    case kByrefCaller | kFieldIsBlock:
    case kByrefCaller | kFieldIsObject | kFieldIsWeak:
    case kByrefCaller | kFieldIsBlock | kFieldIsWeak:
      machine_.storePointer(destination, object);
      return;
    default:
      machine_.fault("_Block_object_assign with flags " + std::to_string(flags));
  }
}

void Runtime::disposeBlockField(Address object, int flags) {
  const unsigned p = machine_.pointerSize();
  switch (flags & 0xff) {
    case kFieldIsObject:
      release(object);
      return;
    case kFieldIsBlock:
      releaseBlock(object);
      return;
    case kFieldIsByref:
    case kFieldIsByref | kFieldIsWeak: {
      const Address byref = machine_.loadPointer(object + p);
      const int byrefFlags = machine_.load<std::int32_t>(byref + 2 * p);
      if (!(byrefFlags & kByrefNeedsFree)) return;
      const int count = byrefFlags & 0xfffe;
      if (count > 2) {
        machine_.store<std::int32_t>(byref + 2 * p, byrefFlags - 2);
        return;
      }
      if (byrefFlags & kByrefHasCopyDispose) {
        const Address destroy = machine_.loadPointer(byref + 2 * p + 8 + p);
        if (destroy) machine_.call(destroy, {Argument::pointer(arch(), byref)});
      }
      machine_.deallocate(byref);
      return;
    }
    default:
      return;
  }
}

}  // namespace emulator
