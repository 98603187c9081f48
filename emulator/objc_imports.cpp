// libobjc's C functions: messaging, reference counting, autorelease pools, weak references,
// associated objects, the class look-ups and method tables the binding uses, and blocks.
#include <unordered_map>

#include "frameworks.h"

namespace emulator {

namespace {

struct MethodHandles {
  std::unordered_map<Address, std::pair<ClassInfo*, std::string>> byHandle;
};

}  // namespace

void defineObjcImports(Runtime& rt, Imports& imports) {
  Machine& machine = rt.machine();
  Runtime* r = &rt;
  auto handles = std::make_shared<MethodHandles>();

  imports.function("_objc_msgSend", [r](Machine&, NativeCall& c) { r->dispatch(c, false, false); });
  imports.function("_objc_msgSendSuper",
                   [r](Machine&, NativeCall& c) { r->dispatch(c, true, false); });
  imports.function("_objc_msgSendSuper2",
                   [r](Machine&, NativeCall& c) { r->dispatch(c, true, true); });
  // 32-bit ARM: a result returned through memory has variants of its own.
  imports.function("_objc_msgSend_stret",
                   [r](Machine&, NativeCall& c) { r->dispatch(c, false, false, true); });
  imports.function("_objc_msgSendSuper_stret",
                   [r](Machine&, NativeCall& c) { r->dispatch(c, true, false, true); });
  imports.function("_objc_msgSendSuper2_stret",
                   [r](Machine&, NativeCall& c) { r->dispatch(c, true, true, true); });

  // Reference counting, as ARC calls it.
  auto retainLike = [r](Machine&, NativeCall& c) { c.returnPointer(r->retain(c.pointer())); };
  imports.function("_objc_retain", retainLike);
  imports.function("_objc_retainAutoreleasedReturnValue", retainLike);
  imports.function("_objc_release", [r](Machine&, NativeCall& c) { r->release(c.pointer()); });
  auto autoreleaseLike = [r](Machine&, NativeCall& c) {
    c.returnPointer(r->autorelease(c.pointer()));
  };
  imports.function("_objc_autorelease", autoreleaseLike);
  imports.function("_objc_autoreleaseReturnValue", autoreleaseLike);
  auto retainAutorelease = [r](Machine&, NativeCall& c) {
    c.returnPointer(r->autorelease(r->retain(c.pointer())));
  };
  imports.function("_objc_retainAutorelease", retainAutorelease);
  imports.function("_objc_retainAutoreleaseReturnValue", retainAutorelease);
  imports.function("_objc_unsafeClaimAutoreleasedReturnValue",
                   [](Machine&, NativeCall& c) { c.returnPointer(c.pointer()); });
  imports.function("_objc_storeStrong", [r](Machine& m, NativeCall& c) {
    const Address slot = c.pointer();
    const Address value = c.pointer();
    const Address old = m.loadPointer(slot);
    r->retain(value);
    m.storePointer(slot, value);
    r->release(old);
  });
  imports.function("_objc_retainBlock",
                   [r](Machine&, NativeCall& c) { c.returnPointer(r->copyBlock(c.pointer())); });
  imports.function("_objc_autoreleasePoolPush",
                   [r](Machine&, NativeCall& c) { c.returnPointer(r->pushPool()); });
  imports.function("_objc_autoreleasePoolPop",
                   [r](Machine&, NativeCall& c) { r->popPool(c.pointer()); });

  // Weak references.
  imports.function("_objc_storeWeak", [r](Machine&, NativeCall& c) {
    const Address slot = c.pointer();
    c.returnPointer(r->storeWeak(slot, c.pointer()));
  });
  imports.function("_objc_initWeak", [r](Machine& m, NativeCall& c) {
    const Address slot = c.pointer();
    m.storePointer(slot, 0);
    c.returnPointer(r->storeWeak(slot, c.pointer()));
  });
  imports.function("_objc_loadWeakRetained", [r](Machine&, NativeCall& c) {
    c.returnPointer(r->loadWeakRetained(c.pointer()));
  });
  imports.function("_objc_loadWeak", [r](Machine&, NativeCall& c) {
    c.returnPointer(r->autorelease(r->loadWeakRetained(c.pointer())));
  });
  imports.function("_objc_destroyWeak",
                   [r](Machine&, NativeCall& c) { r->destroyWeak(c.pointer()); });
  imports.function("_objc_moveWeak", [r](Machine& m, NativeCall& c) {
    const Address to = c.pointer();
    const Address from = c.pointer();
    const Address object = m.loadPointer(from);
    m.storePointer(to, 0);
    r->storeWeak(to, object);
    r->destroyWeak(from);
  });
  imports.function("_objc_copyWeak", [r](Machine& m, NativeCall& c) {
    const Address to = c.pointer();
    const Address from = c.pointer();
    const Address object = r->loadWeakRetained(from);
    m.storePointer(to, 0);
    r->storeWeak(to, object);
    r->release(object);
  });

  imports.function("_objc_setAssociatedObject", [r](Machine&, NativeCall& c) {
    const Address object = c.pointer();
    const Address key = c.pointer();
    const Address value = c.pointer();
    const std::uint64_t policy = c.pointer();
    r->setAssociated(object, key, value, policy);
  });
  imports.function("_objc_getAssociatedObject", [r](Machine&, NativeCall& c) {
    const Address object = c.pointer();
    c.returnPointer(r->getAssociated(object, c.pointer()));
  });
  imports.function("_objc_enumerationMutation", [r](Machine& m, NativeCall& c) {
    m.fault("a collection was changed while it was enumerated (" + Machine::hex(c.pointer()) +
            "), from " + r->where(m.returnAddress()));
  });

  // Classes and methods.
  imports.function("_objc_getClass", [r](Machine& m, NativeCall& c) {
    const Address name = c.pointer();
    if (name == 0) return c.returnPointer(0);
    ClassInfo* cls = r->findClass(m.readCString(name, 1024));
    c.returnPointer(cls ? cls->address : 0);
  });
  imports.function("_objc_lookUpClass", [r](Machine& m, NativeCall& c) {
    ClassInfo* cls = r->findClass(m.readCString(c.pointer(), 1024));
    c.returnPointer(cls ? cls->address : 0);
  });
  imports.function("_object_getClass", [r](Machine&, NativeCall& c) {
    ClassInfo* cls = r->classOf(c.pointer());
    c.returnPointer(cls ? cls->address : 0);
  });
  imports.function("_class_getName", [r](Machine&, NativeCall& c) {
    ClassInfo* cls = r->classAt(c.pointer());
    c.returnPointer(cls ? cls->nameString : r->machine().internString("nil"));
  });
  imports.function("_NSStringFromClass", [r](Machine&, NativeCall& c) {
    ClassInfo* cls = r->classAt(c.pointer());
    c.returnPointer(cls ? r->autorelease(r->newString(cls->name)) : 0);
  });
  imports.function("_objc_allocateClassPair", [r](Machine& m, NativeCall& c) {
    ClassInfo* super = r->classAt(c.pointer());
    const std::string name = m.readCString(c.pointer(), 1024);
    c.integer(m.pointerSize());
    if (r->classNamed(name)) return c.returnPointer(0);
    c.returnPointer(r->allocateClassPair(super, name).address);
  });
  imports.function("_class_createInstance", [r](Machine& m, NativeCall& c) {
    ClassInfo* cls = r->classAt(c.pointer());
    const std::uint64_t extra = c.pointer();
    if (cls == nullptr || cls->isMeta) m.fault("class_createInstance of no class");
    c.returnPointer(r->createInstance(cls, static_cast<std::uint32_t>(extra)));
  });
  imports.function("_object_dispose", [r](Machine&, NativeCall& c) {
    const Address object = c.pointer();
    r->destroyInstance(object);
    c.returnPointer(0);
  });
  imports.function("_objc_registerClassPair", [](Machine&, NativeCall& c) { c.pointer(); });
  imports.function("_class_addMethod", [r](Machine& m, NativeCall& c) {
    ClassInfo* cls = r->classAt(c.pointer());
    const std::string selector = r->selectorName(c.pointer());
    const Address imp = c.pointer();
    const Address types = c.pointer();
    if (cls == nullptr) m.fault("class_addMethod on no class");
    if (cls->methods.count(selector)) return c.returnBool(false);
    r->addBinaryMethod(*cls, selector, types ? m.readCString(types, 1024) : "", imp);
    c.returnBool(true);
  });
  auto methodHandle = [r, handles](Machine& m, ClassInfo* cls,
                                   const std::string& selector) -> Address {
    const MethodEntry* entry = cls ? r->lookup(cls, selector) : nullptr;
    if (entry == nullptr) return 0;
    auto& mutableEntry = const_cast<MethodEntry&>(*entry);
    if (mutableEntry.handle == 0) {
      mutableEntry.handle = m.allocateStatic(3 * m.pointerSize(), 8);
      m.storePointer(mutableEntry.handle, r->selector(selector));
      handles->byHandle[mutableEntry.handle] = {nullptr, selector};
    }
    // The method found may be inherited: the handle names the class that defines it.
    for (ClassInfo* c = cls; c; c = c->superclass) {
      if (c->methods.count(selector) && &c->methods[selector] == entry) {
        handles->byHandle[mutableEntry.handle].first = c;
        break;
      }
    }
    return mutableEntry.handle;
  };
  imports.function("_class_getInstanceMethod", [r, methodHandle](Machine& m, NativeCall& c) {
    ClassInfo* cls = r->classAt(c.pointer());
    const std::string selector = r->selectorName(c.pointer());
    c.returnPointer(methodHandle(m, cls, selector));
  });
  imports.function("_class_getMethodImplementation", [r](Machine&, NativeCall& c) {
    ClassInfo* cls = r->classAt(c.pointer());
    const MethodEntry* entry = cls ? r->lookup(cls, r->selectorName(c.pointer())) : nullptr;
    c.returnPointer(entry ? r->implementationOf(*entry) : 0);
  });
  auto ownerOf = [handles](Machine& m, Address handle) -> std::pair<ClassInfo*, std::string> {
    auto it = handles->byHandle.find(handle);
    if (it == handles->byHandle.end() || it->second.first == nullptr) {
      m.fault("a Method handle " + Machine::hex(handle) +
              " that class_getInstanceMethod never gave");
    }
    return it->second;
  };
  imports.function("_method_getImplementation", [r, ownerOf](Machine& m, NativeCall& c) {
    auto [owner, selector] = ownerOf(m, c.pointer());
    c.returnPointer(r->implementationOf(owner->methods[selector]));
  });
  imports.function("_method_getTypeEncoding", [ownerOf](Machine& m, NativeCall& c) {
    auto [owner, selector] = ownerOf(m, c.pointer());
    c.returnPointer(m.internString(owner->methods[selector].types));
  });
  imports.function("_method_setImplementation", [r, ownerOf](Machine& m, NativeCall& c) {
    auto [owner, selector] = ownerOf(m, c.pointer());
    const Address imp = c.pointer();
    MethodEntry& entry = owner->methods[selector];
    const Address old = r->implementationOf(entry);
    r->addBinaryMethod(*owner, selector, entry.types, imp);
    c.returnPointer(old);
  });
  imports.function("_sel_registerName", [r](Machine& m, NativeCall& c) {
    c.returnPointer(r->selector(m.readCString(c.pointer(), 4096)));
  });
  imports.function("_sel_getName", [r](Machine&, NativeCall& c) {
    c.returnPointer(r->selector(r->selectorName(c.pointer())));
  });

  // Blocks.
  imports.function("__Block_copy",
                   [r](Machine&, NativeCall& c) { c.returnPointer(r->copyBlock(c.pointer())); });
  imports.function("__Block_release",
                   [r](Machine&, NativeCall& c) { r->releaseBlock(c.pointer()); });
  imports.function("__Block_object_assign", [r](Machine&, NativeCall& c) {
    const Address destination = c.pointer();
    const Address object = c.pointer();
    r->assignBlockField(destination, object, static_cast<int>(c.integer(4, true)));
  });
  imports.function("__Block_object_dispose", [r](Machine&, NativeCall& c) {
    const Address object = c.pointer();
    r->disposeBlockField(object, static_cast<int>(c.integer(4, true)));
  });
  ClassInfo& block = rt.defineClass("NSBlock", "NSObject");
  (void)block;
  for (const char* name : {"__NSStackBlock__", "__NSMallocBlock__", "__NSGlobalBlock__"}) {
    rt.defineClass(name, "NSBlock").literal = true;
  }
  imports.data("__NSConcreteStackBlock", rt.classNamed("__NSStackBlock__")->address);
  imports.data("__NSConcreteGlobalBlock", rt.classNamed("__NSGlobalBlock__")->address);
  imports.data("__NSConcreteMallocBlock", rt.classNamed("__NSMallocBlock__")->address);

  imports.data("__objc_empty_cache", machine.allocateStatic(64));
  imports.data("___CFConstantStringClassReference", rt.constantStringClass());
  // The classes and metaclasses the binary names (its superclasses, the classes it messages).
  imports.fallback([r](const std::string& symbol) -> std::optional<Address> {
    for (const std::string_view prefix : {"_OBJC_CLASS_$_", "_OBJC_METACLASS_$_"}) {
      if (symbol.rfind(prefix, 0) != 0) continue;
      ClassInfo* cls = r->findClass(std::string_view(symbol).substr(prefix.size()));
      if (cls == nullptr) return std::nullopt;
      return prefix == "_OBJC_CLASS_$_" ? cls->address : cls->meta->address;
    }
    return std::nullopt;
  });
}

}  // namespace emulator
