// C++ and Objective-C exceptions inside the emulated binary, as libc++abi and libobjc raise and
// catch them on the phone: a throw searches the binary's frames for a handler with their
// personality's tables, runs the cleanups on the way, and lands in the handler. One that leaves
// the binary's frames goes on in the host: a host exception (SpringBoard's own) as itself.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "objc_runtime.h"
#include "unwinder.h"

namespace emulator {

class Image;

// What a stand-in throws to raise an exception in the binary's frames that called it: the
// native function ends there, and the binary's handlers take over.
struct ObjcRaise {
  Address exception;  // an NSException (or any object)
};
struct CxxRaise {
  Address object;  // made by Exceptions::allocate
  Address typeinfo;
  Address destructor;
};

// An exception of the binary's that no frame of it caught, now in the host.
struct EmulatedException : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Exceptions {
 public:
  Exceptions(Runtime& runtime, std::function<const Image*(Address)> imageAt);

  // The C++ ABI: what __cxa_allocate_exception and __cxa_throw get.
  Address allocate(std::uint64_t size);
  void free(Address object);
  // Throws the C++ exception `object` from the native function running now (__cxa_throw).
  void throwCxx(Address object, Address typeinfo, Address destructor);
  // Raises the Objective-C exception `object` (objc_exception_throw, or a stand-in raising).
  void throwObjc(Address object, std::exception_ptr native = nullptr);
  // __cxa_rethrow.
  void rethrow();
  // _Unwind_Resume: a cleanup has run; unwinding goes on.
  void resume(Address header);
  Address beginCatch(Address header, bool objc);
  void endCatch();

  // The addresses of the personality functions (what the unwind tables name).
  void setPersonalities(Address gxx, Address objc) {
    personalities_.push_back(gxx);
    personalities_.push_back(objc);
  }
  // 32-bit ARM unwinds with setjmp/longjmp: each function that has handlers or cleanups
  // registers a function context on entry and unregisters it on exit.
  void registerContext(Address context);
  void unregisterContext(Address context);
  void setObjcTypeVtable(Address vtable) { objcTypeVtable_ = vtable; }
  // The type name of a C++ typeinfo.
  std::string typeName(Address typeinfo) const;
  // Whether a handler for `catchType` takes an object thrown as `thrownType` (adjusting `object`
  // to the base class it names).
  bool catches(Address catchType, Address thrownType, Address* object) const;
  void setClassTypeVtables(Address classType, Address siType, Address vmiType) {
    classTypeVtable_ = classType;
    siTypeVtable_ = siType;
    vmiTypeVtable_ = vmiType;
  }

 private:
  struct Record {
    Address header = 0;  // what landing pads receive (the _Unwind_Exception)
    Address object = 0;  // the thrown C++ object, or the slot holding an Objective-C object
    Address typeinfo = 0;
    Address destructor = 0;
    Address objcObject = 0;
    std::exception_ptr native;
    Address adjusted = 0;
    int handlers = 0;
    bool rethrown = false;
  };
  struct Landing {
    Address pad = 0;
    std::int64_t selector = 0;
    bool handler = false;
  };

  // Raises `record` from the native function running now, into the frames that called it.
  void raise(Record& record);
  void raiseSjLj(Record& record);
  // The landing pad of a frame for `record`: a handler, a cleanup, or none. The call site is
  // found by the instruction's offset in the function (tables), or by its 1-based index (SjLj).
  std::optional<Landing> personality(Address personalityFunction, Address lsda,
                                     Address functionStart, Address pc, std::int64_t callSiteIndex,
                                     Record& record, bool searchOnly) const;
  bool matches(Address catchType, Record& record) const;
  std::string describe(const Record& record) const;
  Record& recordOf(Address header);
  void escape(Record& record, const FrameState& boundary);

  Runtime& runtime_;
  Machine& machine_;
  Unwinder unwinder_;
  std::unordered_map<Address, Record> records_;  // by header
  std::vector<Address> caught_;                  // headers, innermost last
  std::vector<Address> personalities_;
  Address contexts_ = 0;             // the innermost function context (SjLj)
  std::vector<Address> boundaries_;  // the innermost context when each host call began
  Address objcTypeVtable_ = 0;
  Address classTypeVtable_ = 0;
  Address siTypeVtable_ = 0;
  Address vmiTypeVtable_ = 0;
};

// Raises `native`, a host exception that reached a stand-in the binary called, into the binary
// as an Objective-C exception; when it leaves the binary it is rethrown as itself.
void raiseHostException(Runtime& runtime, std::exception_ptr native);

}  // namespace emulator
