#include "exceptions.h"

#include <cstdio>
#include <cstdlib>

#include <unicorn/unicorn.h>

#include <algorithm>

#include "dwarf_reader.h"
#include "image.h"

namespace emulator {

namespace {

constexpr std::uint64_t kHeaderSize =
    128;  // room for libc++abi's __cxa_exception before the object

// An exception of the binary's on its way through a native function (a stand-in called back into
// the binary, which threw): it goes on unwinding in the frames that called the stand-in.
struct InFlight : EmulatedException {
  InFlight(const std::string& what, Address exceptionHeader)
      : EmulatedException(what), header(exceptionHeader) {}
  Address header;
};

unsigned encodedSize(std::uint8_t encoding, unsigned pointerSize) {
  switch (encoding & 0x0f) {
    case 0x00:
      return pointerSize;
    case 0x02:
    case 0x0a:
      return 2;
    case 0x03:
    case 0x0b:
      return 4;
    case 0x04:
    case 0x0c:
      return 8;
    default:
      return 0;
  }
}

}  // namespace

Exceptions::Exceptions(Runtime& runtime, std::function<const Image*(Address)> imageAt)
    : runtime_(runtime),
      machine_(runtime.machine()),
      unwinder_(runtime.machine(), std::move(imageAt)) {
  // A host call's frames end where its function contexts began: an exception never unwinds into
  // the contexts of frames below the host's own.
  machine_.setCallHook([this](bool entering) {
    if (entering) {
      boundaries_.push_back(contexts_);
    } else if (!boundaries_.empty()) {
      contexts_ = boundaries_.back();
      boundaries_.pop_back();
    }
  });
  // A native function that throws hands its exception to the binary's frames that called it.
  machine_.setNativeExceptionHandler([this](std::exception_ptr failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const InFlight& inFlight) {
      auto it = records_.find(inFlight.header);
      if (it == records_.end())
        throw EmulationFault("an exception that the binary no longer knows");
      raise(it->second);
    } catch (const ObjcRaise& raise) {
      throwObjc(raise.exception);
    } catch (const CxxRaise& raise) {
      throwCxx(raise.object, raise.typeinfo, raise.destructor);
    } catch (const EmulationFault&) {
      throw;
    } catch (...) {
      raiseHostException(runtime_, std::current_exception());
    }
  });
}

Address Exceptions::allocate(std::uint64_t size) {
  const Address block = machine_.allocate(kHeaderSize + size);
  Record record;
  record.header = block;
  record.object = block + kHeaderSize;
  records_[block] = record;
  return record.object;
}

void Exceptions::free(Address object) {
  records_.erase(object - kHeaderSize);
  machine_.deallocate(object - kHeaderSize);
}

Exceptions::Record& Exceptions::recordOf(Address header) {
  auto it = records_.find(header);
  if (it == records_.end()) {
    machine_.fault("an exception object " + Machine::hex(header) + " that no throw made");
  }
  return it->second;
}

void Exceptions::throwCxx(Address object, Address typeinfo, Address destructor) {
  Record& record = recordOf(object - kHeaderSize);
  record.typeinfo = typeinfo;
  record.destructor = destructor;
  raise(record);
}

void Exceptions::throwObjc(Address object, std::exception_ptr native) {
  const Address slot = allocate(machine_.pointerSize());
  machine_.storePointer(slot, object);
  Record& record = recordOf(slot - kHeaderSize);
  record.objcObject = runtime_.retain(object);
  record.native = std::move(native);
  raise(record);
}

void Exceptions::rethrow() {
  if (caught_.empty()) machine_.fault("a rethrow with no exception caught: std::terminate");
  Record& record = recordOf(caught_.back());
  record.rethrown = true;
  raise(record);
}

void Exceptions::resume(Address header) {
  raise(recordOf(header));
}

Address Exceptions::beginCatch(Address header, bool objc) {
  Record& record = recordOf(header);
  if (record.handlers == 0) caught_.push_back(header);
  ++record.handlers;
  record.rethrown = false;
  if (objc) return record.objcObject ? record.objcObject : record.object;
  return record.adjusted ? record.adjusted : record.object;
}

void Exceptions::endCatch() {
  if (caught_.empty()) machine_.fault("__cxa_end_catch with no exception caught");
  const Address header = caught_.back();
  Record& record = recordOf(header);
  if (--record.handlers > 0) return;
  caught_.pop_back();
  if (record.rethrown) return;  // it lives on in the frames it unwinds
  const Address object = record.object;
  const Address destructor = record.destructor;
  const Address objc = record.objcObject;
  if (destructor) machine_.call(destructor, {Argument::pointer(runtime_.arch(), object)});
  if (objc) runtime_.release(objc);
  free(object);
}

std::string Exceptions::typeName(Address typeinfo) const {
  if (typeinfo == 0) return "?";
  Address name = machine_.loadPointer(typeinfo + machine_.pointerSize());
  if (machine_.pointerSize() == 8) name &= ~(Address{1} << 63);  // Apple's non-unique RTTI bit
  return machine_.readCString(name, 1024);
}

bool Exceptions::catches(Address catchType, Address thrownType, Address* object) const {
  if (catchType == thrownType || typeName(catchType) == typeName(thrownType)) return true;
  const unsigned p = machine_.pointerSize();
  const Address kind = machine_.loadPointer(thrownType) - 2 * p;
  if (kind == siTypeVtable_) {
    return catches(catchType, machine_.loadPointer(thrownType + 2 * p), object);
  }
  if (kind == vmiTypeVtable_) {
    const std::uint32_t count = machine_.load<std::uint32_t>(thrownType + 2 * p + 4);
    for (std::uint32_t i = 0; i < count && i < 64; ++i) {
      const Address entry = thrownType + 2 * p + 8 + i * 2 * p;
      const Address base = machine_.loadPointer(entry);
      const std::int64_t offsetFlags =
          p == 8 ? machine_.load<std::int64_t>(entry + p) : machine_.load<std::int32_t>(entry + p);
      if (!(offsetFlags & 2) || (offsetFlags & 1)) continue;  // private or virtual bases
      Address adjusted = *object + static_cast<Address>(offsetFlags >> 8);
      if (catches(catchType, base, &adjusted)) {
        *object = adjusted;
        return true;
      }
    }
  }
  return false;
}

bool Exceptions::matches(Address catchType, Record& record) const {
  if (catchType == 0) return true;  // catch (...)
  const unsigned p = machine_.pointerSize();
  const bool objcHandler =
      objcTypeVtable_ && machine_.loadPointer(catchType) == objcTypeVtable_ + 2 * p;
  if (objcHandler) {
    if (record.objcObject == 0) return false;
    const Address cls = machine_.loadPointer(catchType + 2 * p);
    if (cls == 0) return true;  // @catch (id)
    const ClassInfo* wanted = runtime_.classAt(cls);
    for (const ClassInfo* c = runtime_.classOf(record.objcObject); c; c = c->superclass) {
      if (c == wanted) return true;
    }
    return false;
  }
  if (record.typeinfo == 0) return false;  // an Objective-C exception and a C++ handler
  Address adjusted = record.object;
  if (!catches(catchType, record.typeinfo, &adjusted)) return false;
  record.adjusted = adjusted;
  return true;
}

std::optional<Exceptions::Landing> Exceptions::personality(Address personalityFunction,
                                                           Address lsda, Address functionStart,
                                                           Address pc, std::int64_t callSiteIndex,
                                                           Record& record, bool searchOnly) const {
  if (lsda == 0 || personalityFunction == 0) return std::nullopt;
  if (std::find(personalities_.begin(), personalities_.end(), personalityFunction) ==
      personalities_.end()) {
    machine_.fault("a frame at " + runtime_.where(pc) + " with a personality no stand-in knows");
  }
  const bool sjlj = callSiteIndex != 0;
  const unsigned p = machine_.pointerSize();
  // A null entry (catch (...)) stays null: only a real value is relative and indirect.
  DwarfReader r(machine_, lsda);
  const std::uint8_t lpStartEncoding = r.u8();
  const Address lpStart =
      lpStartEncoding == DwarfReader::kOmit ? functionStart : r.encoded(lpStartEncoding);
  const std::uint8_t ttypeEncoding = r.u8();
  Address ttypeBase = 0;
  if (ttypeEncoding != DwarfReader::kOmit) {
    const std::uint64_t offset = r.uleb();
    ttypeBase = r.position() + offset;
  }
  const std::uint8_t callSiteEncoding = r.u8();
  const std::uint64_t callSiteLength = r.uleb();
  const Address callSites = r.position();
  const Address actions = callSites + callSiteLength;
  const std::uint64_t ip = pc - 1 - functionStart;
  std::int64_t index = callSiteIndex;
  while (r.position() < actions) {
    std::uint64_t landingPad = 0;
    std::uint64_t action = 0;
    Address pad = 0;
    if (sjlj) {
      // The call site is the index the function stored before the call; the landing pad is the
      // value its dispatch code switches on.
      landingPad = r.uleb();
      action = r.uleb();
      if (--index != 0) continue;
      pad = landingPad;
    } else {
      const std::uint64_t start = r.encoded(callSiteEncoding);
      const std::uint64_t length = r.encoded(callSiteEncoding);
      landingPad = r.encoded(callSiteEncoding);
      action = r.uleb();
      if (ip < start) break;
      if (ip >= start + length) continue;
      if (landingPad == 0) return std::nullopt;
      pad = lpStart + landingPad;
    }
    if (action == 0) {
      if (searchOnly) return std::nullopt;
      return Landing{pad, 0, false};
    }
    bool cleanup = false;
    Address record_at = actions + action - 1;
    for (int guard = 0; guard < 1000; ++guard) {
      r.seek(record_at);
      const std::int64_t filter = r.sleb();
      const Address nextField = r.position();
      const std::int64_t next = r.sleb();
      if (filter > 0) {
        const unsigned size = encodedSize(ttypeEncoding, p);
        r.seek(ttypeBase - static_cast<Address>(filter) * size);
        const Address type = r.encoded(ttypeEncoding);
        if (matches(type, record)) return Landing{pad, filter, true};
      } else if (filter == 0) {
        cleanup = true;
      } else {
        // A dynamic exception list (throw(...)) the exception is not on: the landing pad calls
        // unexpected().
        return Landing{pad, filter, true};
      }
      if (next == 0) break;
      record_at = nextField + static_cast<Address>(next);
    }
    if (cleanup && !searchOnly) return Landing{pad, 0, false};
    return std::nullopt;
  }
  machine_.fault("an exception passes " + runtime_.where(pc) +
                 ", a call the function's exception table does not cover: std::terminate");
}

std::string Exceptions::describe(const Record& record) const {
  if (record.objcObject) {
    const ClassInfo* cls = runtime_.classOf(record.objcObject);
    auto* state = runtime_.state<ExceptionState>(record.objcObject);
    return "an Objective-C exception " + (cls ? cls->name : std::string("?")) +
           (state ? " (" + state->name + ": " + state->reason + ")" : std::string());
  }
  return "a C++ exception of type " + typeName(record.typeinfo);
}

void Exceptions::raise(Record& record) {
  if (!is64Bit(runtime_.arch())) {
    raiseSjLj(record);
    return;
  }
  const FrameState from = unwinder_.callerOfNative();
  if (std::getenv("TONEWELL_EMULATOR_TRACE")) {
    std::fprintf(stderr, "emulator: %s raised at %s (sp %s, fp %s)\n", describe(record).c_str(),
                 runtime_.where(from.pc).c_str(), Machine::hex(from.sp).c_str(),
                 Machine::hex(from.x[29]).c_str());
  }
  // Search: the first frame with a handler for it.
  FrameState state = from;
  int handlerDepth = -1;
  for (int depth = 0; depth < 100000; ++depth) {
    if ((state.pc & ~Address{1}) == machine_.returnTrap()) break;
    auto info = unwinder_.info(state.pc);
    if (!info) {
      machine_.fault(describe(record) + " passes " + runtime_.where(state.pc) +
                     ", which has no unwind information");
    }
    if (auto landing = personality(info->personality, info->lsda, info->functionStart, state.pc, 0,
                                   record, true);
        landing && landing->handler) {
      handlerDepth = depth;
      break;
    }
    unwinder_.step(state);
  }
  // Cleanup: the first frame on the way with a landing pad gets control; its cleanup resumes.
  state = from;
  for (int depth = 0; depth < 100000; ++depth) {
    if ((state.pc & ~Address{1}) == machine_.returnTrap()) {
      escape(record, state);
      return;
    }
    auto info = unwinder_.info(state.pc);
    if (auto landing = personality(info->personality, info->lsda, info->functionStart, state.pc, 0,
                                   record, false);
        landing && (!landing->handler || depth == handlerDepth)) {
      unwinder_.restore(state);
      machine_.setReg(machine_.abi().argumentRegister(0), record.header);
      machine_.setReg(machine_.abi().argumentRegister(1),
                      static_cast<std::uint64_t>(landing->selector));
      machine_.continueAt(landing->pad);
      return;
    }
    unwinder_.step(state);
  }
  machine_.fault("an exception unwinds through more than 100000 frames");
}

// A function context (SjLj): prev, call site, data[4], personality, lsda, then the jump buffer
// of __builtin_setjmp: frame pointer, resume address, stack pointer.
namespace {
constexpr Address kContextPrev = 0;
constexpr Address kContextCallSite = 4;
constexpr Address kContextData = 8;
constexpr Address kContextPersonality = 24;
constexpr Address kContextLsda = 28;
constexpr Address kContextJumpBuffer = 32;
}  // namespace

void Exceptions::registerContext(Address context) {
  machine_.store<std::uint32_t>(context + kContextPrev, static_cast<std::uint32_t>(contexts_));
  contexts_ = context;
}

void Exceptions::unregisterContext(Address context) {
  contexts_ = machine_.load<std::uint32_t>(context + kContextPrev);
}

void Exceptions::raiseSjLj(Record& record) {
  const Address boundary = boundaries_.empty() ? 0 : boundaries_.back();
  auto landingOf = [&](Address context, bool searchOnly) -> std::optional<Landing> {
    const std::int32_t callSite = machine_.load<std::int32_t>(context + kContextCallSite);
    if (callSite == -1) return std::nullopt;  // a call with nothing to do here
    if (callSite == 0) {
      machine_.fault(describe(record) +
                     " passes a call its function said cannot throw: std::terminate");
    }
    return personality(machine_.load<std::uint32_t>(context + kContextPersonality),
                       machine_.load<std::uint32_t>(context + kContextLsda), 0, 0, callSite, record,
                       searchOnly);
  };
  Address handler = 0;
  int depth = 0;
  for (Address c = contexts_; c != 0 && c != boundary;
       c = machine_.load<std::uint32_t>(c + kContextPrev)) {
    if (++depth > 100000) machine_.fault("a cycle of function contexts");
    if (auto landing = landingOf(c, true); landing && landing->handler) {
      handler = c;
      break;
    }
  }
  for (Address c = contexts_; c != 0 && c != boundary;
       c = machine_.load<std::uint32_t>(c + kContextPrev)) {
    auto landing = landingOf(c, false);
    if (!landing || (landing->handler && c != handler)) continue;
    machine_.store<std::uint32_t>(c + kContextCallSite, static_cast<std::uint32_t>(landing->pad));
    machine_.store<std::uint32_t>(c + kContextData, static_cast<std::uint32_t>(record.header));
    machine_.store<std::uint32_t>(c + kContextData + 4,
                                  static_cast<std::uint32_t>(landing->selector));
    contexts_ = c;
    // __builtin_longjmp: the frame pointer (r7) and stack pointer back, on to the dispatch.
    machine_.setReg(UC_ARM_REG_R7, machine_.load<std::uint32_t>(c + kContextJumpBuffer));
    machine_.setReg(UC_ARM_REG_SP, machine_.load<std::uint32_t>(c + kContextJumpBuffer + 8));
    machine_.continueAt(machine_.load<std::uint32_t>(c + kContextJumpBuffer + 4));
    return;
  }
  contexts_ = boundary;
  machine_.setEscapingException(record.native
                                    ? record.native
                                    : std::make_exception_ptr(InFlight(
                                          describe(record) + " left the binary", record.header)));
  machine_.continueAt(machine_.returnTrap());
}

void Exceptions::escape(Record& record, const FrameState& boundary) {
  unwinder_.restore(boundary);
  machine_.setEscapingException(record.native
                                    ? record.native
                                    : std::make_exception_ptr(InFlight(
                                          describe(record) + " left the binary", record.header)));
  machine_.continueAt(machine_.returnTrap());
}

void raiseHostException(Runtime& runtime, std::exception_ptr native) {
  std::string reason = "an exception of the host";
  try {
    std::rethrow_exception(native);
  } catch (const std::exception& e) {
    reason = e.what();
  } catch (...) {
  }
  const Address exception = runtime.createInstance(runtime.classNamed("NSException"));
  auto* state = runtime.state<ExceptionState>(exception);
  state->name = "NSGenericException";
  state->reason = reason;
  state->native = native;
  runtime.autorelease(exception);
  runtime.exceptions().throwObjc(exception, native);
}

}  // namespace emulator
