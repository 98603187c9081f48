// The C++ ABI the binaries import from libc++abi: allocation, static initialisation guards,
// exceptions and their type information, dynamic_cast, and the Objective-C exception entry points
// of libobjc.
#include "exceptions.h"
#include "frameworks.h"
#include "stand_in.h"

namespace emulator {

namespace {

// A vtable in static memory: offset to top, typeinfo, then `slots` functions.
Address makeVtable(Machine& m, Address typeinfo, const std::vector<Address>& slots) {
  const unsigned p = m.pointerSize();
  const Address table = m.allocateStatic((2 + slots.size() + 4) * p, 16);
  m.storePointer(table + p, typeinfo);
  for (std::size_t i = 0; i < slots.size(); ++i) m.storePointer(table + (2 + i) * p, slots[i]);
  return table;
}

// A typeinfo: its vtable's address point, its name, and for a single base its base.
Address makeTypeinfo(Machine& m, Address vtable, const std::string& name, Address base = 0) {
  const unsigned p = m.pointerSize();
  const Address info = m.allocateStatic(3 * p, 16);
  m.storePointer(info, vtable + 2 * p);
  m.storePointer(info + p, m.internString(name));
  if (base) m.storePointer(info + 2 * p, base);
  return info;
}

}  // namespace

void defineCxxRuntime(Runtime& rt, Imports& imports) {
  Machine& machine = rt.machine();
  Runtime* r = &rt;
  Exceptions* ex = &rt.exceptions();
  const unsigned p = machine.pointerSize();
  const bool wide = p == 8;

  // Allocation.
  auto newFunction = [](Machine& m, NativeCall& c) { c.returnPointer(m.allocate(c.pointer())); };
  auto deleteFunction = [](Machine& m, NativeCall& c) { m.deallocate(c.pointer()); };
  for (const char* symbol : {"__Znwm", "__Znam", "__Znwj", "__Znaj"})
    imports.function(symbol, newFunction);
  for (const char* symbol : {"__ZdlPv", "__ZdaPv", "__ZdlPvm", "__ZdlPvj"})
    imports.function(symbol, deleteFunction);

  imports.function("___cxa_atexit", [](Machine&, NativeCall& c) {
    // Destructors of statics run when the process ends, which the emulation never reaches.
    c.returnInteger(0, 4, true);
  });
  // Guards of function-local statics, as the ARM guard ABI iOS uses: bit 0 of the first byte
  // marks the object made; the second byte an initialisation in progress.
  imports.function("___cxa_guard_acquire", [r](Machine& m, NativeCall& c) {
    const Address guard = c.pointer();
    if (m.load<std::uint8_t>(guard) & 1) return c.returnInteger(0, 4, true);
    if (m.load<std::uint8_t>(guard + 1)) {
      m.fault(
          "a function-local static is initialised again while its initialisation runs "
          "(a deadlock on the phone), from " +
          r->where(m.returnAddress()));
    }
    m.store<std::uint8_t>(guard + 1, 1);
    c.returnInteger(1, 4, true);
  });
  imports.function("___cxa_guard_release", [](Machine& m, NativeCall& c) {
    const Address guard = c.pointer();
    m.store<std::uint8_t>(guard, 1);
    m.store<std::uint8_t>(guard + 1, 0);
  });
  imports.function("___cxa_guard_abort",
                   [](Machine& m, NativeCall& c) { m.store<std::uint8_t>(c.pointer() + 1, 0); });

  imports.function("__ZSt9terminatev", [r](Machine& m, NativeCall&) {
    m.fault("std::terminate called from " + r->where(m.returnAddress()) +
            " (an exception left a function that must not throw, or nothing caught it)");
  });
  imports.function("___cxa_pure_virtual", [r](Machine& m, NativeCall&) {
    m.fault("a pure virtual function called from " + r->where(m.returnAddress()));
  });

  // Exceptions.
  imports.function("___cxa_allocate_exception",
                   [ex](Machine&, NativeCall& c) { c.returnPointer(ex->allocate(c.pointer())); });
  imports.function("___cxa_free_exception",
                   [ex](Machine&, NativeCall& c) { ex->free(c.pointer()); });
  imports.function("___cxa_throw", [ex](Machine&, NativeCall& c) {
    const Address object = c.pointer();
    const Address typeinfo = c.pointer();
    ex->throwCxx(object, typeinfo, c.pointer());
  });
  imports.function("___cxa_rethrow", [ex](Machine&, NativeCall&) { ex->rethrow(); });
  imports.function("___cxa_begin_catch", [ex](Machine&, NativeCall& c) {
    c.returnPointer(ex->beginCatch(c.pointer(), false));
  });
  imports.function("___cxa_end_catch", [ex](Machine&, NativeCall&) { ex->endCatch(); });
  imports.function("__Unwind_Resume", [ex](Machine&, NativeCall& c) { ex->resume(c.pointer()); });
  imports.function("_objc_begin_catch", [ex](Machine&, NativeCall& c) {
    c.returnPointer(ex->beginCatch(c.pointer(), true));
  });
  imports.function("_objc_end_catch", [ex](Machine&, NativeCall&) { ex->endCatch(); });
  imports.function("_objc_exception_throw",
                   [ex](Machine&, NativeCall& c) { ex->throwObjc(c.pointer()); });
  imports.function("_objc_exception_rethrow", [ex](Machine&, NativeCall&) { ex->rethrow(); });
  auto personality = [](Machine& m, NativeCall&) {
    m.fault("a personality function was called: the emulator's unwinder reads the tables itself");
  };
  imports.function("___gxx_personality_v0", personality);
  imports.function("___objc_personality_v0", personality);
  imports.function("___gxx_personality_sj0", personality);
  imports.function("___objc_personality_sj0", personality);
  ex->setPersonalities(*imports.resolve("___gxx_personality_v0"),
                       *imports.resolve("___objc_personality_v0"));
  ex->setPersonalities(*imports.resolve("___gxx_personality_sj0"),
                       *imports.resolve("___objc_personality_sj0"));
  // 32-bit ARM's setjmp/longjmp unwinding.
  imports.function("__Unwind_SjLj_Register",
                   [ex](Machine&, NativeCall& c) { ex->registerContext(c.pointer()); });
  imports.function("__Unwind_SjLj_Unregister",
                   [ex](Machine&, NativeCall& c) { ex->unregisterContext(c.pointer()); });
  imports.function("__Unwind_SjLj_Resume",
                   [ex](Machine&, NativeCall& c) { ex->resume(c.pointer()); });

  // Type information: the three kinds of class typeinfo, by their vtables.
  const Address unused = machine.addNative(
      "(a typeinfo's virtual function)",
      [](Machine& m, NativeCall&) { m.fault("a virtual function of a typeinfo was called"); });
  const std::vector<Address> typeSlots(8, unused);
  const Address classType = makeVtable(machine, 0, typeSlots);
  const Address siType = makeVtable(machine, 0, typeSlots);
  const Address vmiType = makeVtable(machine, 0, typeSlots);
  imports.data("__ZTVN10__cxxabiv117__class_type_infoE", classType);
  imports.data("__ZTVN10__cxxabiv120__si_class_type_infoE", siType);
  imports.data("__ZTVN10__cxxabiv121__vmi_class_type_infoE", vmiType);
  // Typeinfos of other kinds (what std::function's target_type names) are only compared.
  for (const char* kind :
       {"__ZTVN10__cxxabiv119__pointer_type_infoE", "__ZTVN10__cxxabiv120__function_type_infoE",
        "__ZTVN10__cxxabiv123__fundamental_type_infoE"}) {
    imports.data(kind, makeVtable(machine, 0, typeSlots));
  }
  ex->setClassTypeVtables(classType, siType, vmiType);

  // std::exception and the logic errors the library throws.
  const Address exceptionInfo = makeTypeinfo(machine, classType, "St9exception");
  const Address logicInfo = makeTypeinfo(machine, siType, "St11logic_error", exceptionInfo);
  const Address lengthInfo = makeTypeinfo(machine, siType, "St12length_error", logicInfo);
  const Address rangeInfo = makeTypeinfo(machine, siType, "St12out_of_range", logicInfo);
  const Address badFunctionInfo =
      makeTypeinfo(machine, siType, "NSt3__117bad_function_callE", exceptionInfo);
  imports.data("__ZTISt9exception", exceptionInfo);
  imports.data("__ZTISt11logic_error", logicInfo);
  imports.data("__ZTISt12length_error", lengthInfo);
  imports.data("__ZTISt12out_of_range", rangeInfo);
  imports.data("__ZTINSt3__117bad_function_callE", badFunctionInfo);

  const Address exceptionWhat = machine.internString("std::exception");
  auto what = [exceptionWhat](Machine&, NativeCall& c) {
    c.pointer();
    c.returnPointer(exceptionWhat);
  };
  // A logic error keeps its message (libc++'s reference-counted string) after its vtable.
  auto logicWhat = [](Machine& m, NativeCall& c) {
    c.returnPointer(m.loadPointer(c.pointer() + m.pointerSize()));
  };
  auto logicDestroy = [](Machine& m, NativeCall& c) {
    const Address self = c.pointer();
    const Address message = m.loadPointer(self + m.pointerSize());
    if (m.allocationSize(message)) m.deallocate(message);
    m.storePointer(self + m.pointerSize(), 0);
    c.returnPointer(self);
  };
  auto nothing = [](Machine&, NativeCall& c) { c.returnPointer(c.pointer()); };
  imports.function("__ZNKSt9exception4whatEv", what);
  imports.function("__ZNSt9exceptionD2Ev", nothing);
  imports.function("__ZNSt9exceptionD1Ev", nothing);
  imports.function("__ZNKSt11logic_error4whatEv", logicWhat);
  for (const char* d :
       {"__ZNSt11logic_errorD2Ev", "__ZNSt11logic_errorD1Ev", "__ZNSt12length_errorD1Ev",
        "__ZNSt12length_errorD2Ev", "__ZNSt12out_of_rangeD1Ev", "__ZNSt12out_of_rangeD2Ev"}) {
    imports.function(d, logicDestroy);
  }
  auto slot = [&imports](const char* symbol) { return *imports.resolve(symbol); };
  const Address logicVtable =
      makeVtable(machine, logicInfo,
                 {slot("__ZNSt11logic_errorD1Ev"), slot("__ZNSt11logic_errorD1Ev"),
                  slot("__ZNKSt11logic_error4whatEv")});
  imports.data("__ZTVSt11logic_error", logicVtable);
  imports.data("__ZTVSt12length_error",
               makeVtable(machine, lengthInfo,
                          {slot("__ZNSt12length_errorD1Ev"), slot("__ZNSt12length_errorD1Ev"),
                           slot("__ZNKSt11logic_error4whatEv")}));
  imports.data("__ZTVSt12out_of_range",
               makeVtable(machine, rangeInfo,
                          {slot("__ZNSt12out_of_rangeD1Ev"), slot("__ZNSt12out_of_rangeD1Ev"),
                           slot("__ZNKSt11logic_error4whatEv")}));
  auto logicConstruct = [logicVtable](Machine& m, NativeCall& c) {
    const Address self = c.pointer();
    const std::string message = m.readCString(c.pointer());
    const Address copy = m.allocate(message.size() + 1);
    m.write(copy, message.c_str(), message.size() + 1);
    m.storePointer(self, logicVtable + 2 * m.pointerSize());
    m.storePointer(self + m.pointerSize(), copy);
    c.returnPointer(self);
  };
  imports.function("__ZNSt11logic_errorC2EPKc", logicConstruct);
  imports.function("__ZNSt11logic_errorC1EPKc", logicConstruct);

  // Objective-C exception types: what @catch clauses name.
  const Address ehtypeVtable = machine.allocateStatic(8 * p, 16);
  imports.data("_objc_ehtype_vtable", ehtypeVtable);
  ex->setObjcTypeVtable(ehtypeVtable);
  auto ehtype = [&machine, ehtypeVtable, p](const std::string& name, Address cls) {
    const Address info = machine.allocateStatic(3 * p, 16);
    machine.storePointer(info, ehtypeVtable + 2 * p);
    machine.storePointer(info + p, machine.internString(name));
    machine.storePointer(info + 2 * p, cls);
    return info;
  };
  imports.data("_OBJC_EHTYPE_id", ehtype("id", 0));
  imports.data("_OBJC_EHTYPE_$_NSException",
               ehtype("NSException", rt.classNamed("NSException")->address));

  // dynamic_cast: the object's most derived type, searched for the target among its public
  // bases (non-virtual ones, which is what the binaries use).
  imports.function("___dynamic_cast", [ex, wide](Machine& m, NativeCall& c) {
    const Address object = c.pointer();
    c.pointer();  // the static type
    const Address target = c.pointer();
    c.pointer();  // the hint
    if (object == 0) return c.returnPointer(0);
    const unsigned ptr = m.pointerSize();
    const Address vtable = m.loadPointer(object);
    const std::int64_t offsetToTop =
        wide ? m.load<std::int64_t>(vtable - 2 * ptr) : m.load<std::int32_t>(vtable - 2 * ptr);
    const Address whole = object + static_cast<Address>(offsetToTop);
    const Address dynamicType = m.loadPointer(vtable - ptr);
    Address adjusted = whole;
    c.returnPointer(ex->catches(target, dynamicType, &adjusted) ? adjusted : 0);
  });
}

}  // namespace emulator
