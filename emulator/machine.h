// The emulated CPU and its address space: memory, the heap, native functions that emulated code
// calls through stubs, and calls from the host into emulated code. One machine runs one slice of
// one binary; it is used from one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "abi.h"
#include "arch.h"

struct uc_struct;

namespace emulator {

// Ends a run: the binary did something the phone would not survive or that no stand-in knows
// (an unknown import, a message a class lacks, a wrong argument, a bad memory access).
struct EmulationFault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Machine;
// A native function that emulated code calls: it reads its arguments and sets its result
// through the machine's current call.
using NativeFunction = std::function<void(Machine&, NativeCall&)>;

class Machine {
 public:
  explicit Machine(Arch arch);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  Arch arch() const { return arch_; }
  unsigned pointerSize() const { return is64Bit(arch_) ? 8 : 4; }
  const Abi& abi() const { return *abi_; }
  uc_struct* engine() const { return uc_; }

  // --- Memory -------------------------------------------------------------------------------
  // Maps [address, address + size) read-write-execute (whole pages).
  void map(Address address, std::uint64_t size);
  bool isMapped(Address address, std::uint64_t size = 1) const;
  void read(Address address, void* out, std::size_t size) const;
  void write(Address address, const void* data, std::size_t size);
  template <typename T>
  T load(Address address) const {
    T v{};
    read(address, &v, sizeof v);
    return v;
  }
  template <typename T>
  void store(Address address, T value) {
    write(address, &value, sizeof value);
  }
  Address loadPointer(Address address) const;
  void storePointer(Address address, Address value);
  // A NUL-terminated string; a fault when it is not terminated within `limit` bytes.
  std::string readCString(Address address, std::size_t limit = 1 << 20) const;
  std::vector<std::uint8_t> readBytes(Address address, std::size_t size) const;

  // Memory for the life of the machine (class objects, constants, strings), zeroed.
  Address allocateStatic(std::uint64_t size, std::uint64_t alignment = 16);
  // A NUL-terminated copy of `text` in static memory, one per distinct text.
  Address internString(std::string_view text);

  // The heap (malloc, operator new, objects): 16-byte aligned, zeroed. Freed blocks are filled
  // with a pattern and kept out of use for a while, so a use after free reads garbage.
  Address allocate(std::uint64_t size);
  void deallocate(Address block);
  // The size asked for when `block` was allocated; 0 when it is no live heap block.
  std::uint64_t allocationSize(Address block) const;
  bool isFreedBlock(Address address) const;

  // --- Native functions -----------------------------------------------------------------------
  // An address that emulated code can call (a bound import, an IMP, a function pointer) which
  // runs `function`. `name` appears in faults.
  Address addNative(std::string name, NativeFunction function);
  // The name of the native function at `address`, or empty.
  std::string nativeName(Address address) const;
  bool isNative(Address address) const;

  // --- Calls into emulated code ---------------------------------------------------------------
  // Calls the emulated function at `function` with `args` (laid out by the ABI) and returns its
  // result as `returns` describes. A fault inside ends the call with EmulationFault; an
  // exception that leaves the emulated frames is rethrown here.
  Returned call(Address function, const std::vector<Argument>& args, const Type& returns);
  Returned call(Address function, const std::vector<Argument>& args);
  // True while emulated code runs (a native function was called from it).
  bool running() const { return depth_ > 0; }
  // The call chain's current depth of host-to-emulator calls.
  int depth() const { return depth_; }
  // Stops a run that would otherwise last forever; per outermost call.
  void setTimeLimit(std::chrono::milliseconds limit) { timeLimit_ = limit; }

  // Fails the current run with `message` (from a native function or a hook).
  [[noreturn]] void fault(const std::string& message) const;

  // Registers: for the ABI and the unwinder.
  std::uint64_t reg(int uc_register) const;
  void setReg(int uc_register, std::uint64_t value);
  void readRegRaw(int uc_register, void* out) const;
  void writeRegRaw(int uc_register, const void* in);
  // The address the current native function returns to.
  Address returnAddress() const;
  // Where the current native function continues: by default its return address. An
  // implementation that tail-calls (objc_msgSend into an emulated method) or unwinds (a throw)
  // sets it.
  void continueAt(Address address) { continuation_ = address; }

  // A hex address as faults print it.
  static std::string hex(Address address);

  // The return trap: the address that ends a call from the host.
  Address returnTrap() const { return returnTrap_; }

  // Hook for the unwinder: an exception that left the emulated frames of the current call.
  void setEscapingException(std::exception_ptr exception) { escaping_ = std::move(exception); }
  // What to do when a native function throws something other than a fault: by default the run
  // ends; the exception machinery raises it in the binary's frames that called the function.
  void setNativeExceptionHandler(std::function<void(std::exception_ptr)> handler) {
    nativeExceptionHandler_ = std::move(handler);
  }
  // Told when a call from the host into the binary begins (true) and ends (false).
  void setCallHook(std::function<void(bool)> hook) { callHook_ = std::move(hook); }

 private:
  struct Heap;
  struct Native {
    std::string name;
    NativeFunction function;
  };

  static void onCode(uc_struct* uc, std::uint64_t address, std::uint32_t size, void* self);
  static bool onInvalidMemory(uc_struct* uc, int type, std::uint64_t address, int size,
                              std::int64_t value, void* self);
  static void onInterrupt(uc_struct* uc, std::uint32_t number, void* self);
  void runNative(Address address);
  void fail(std::exception_ptr failure);

  Arch arch_;
  uc_struct* uc_ = nullptr;
  std::unique_ptr<Abi> abi_;
  std::unique_ptr<Heap> heap_;
  std::vector<std::pair<Address, std::uint64_t>> mapped_;
  Address staticNext_ = 0;
  Address staticEnd_ = 0;
  std::unordered_map<std::string, Address> strings_;
  std::vector<Native> natives_;
  Address returnTrap_ = 0;
  Address stackTop_ = 0;
  int depth_ = 0;
  std::exception_ptr failure_;   // set by a hook; rethrown when the run returns
  std::exception_ptr escaping_;  // an exception that left the emulated frames
  Address continuation_ = 0;
  std::string memoryFault_;
  std::chrono::milliseconds timeLimit_{20000};
  std::function<void(std::exception_ptr)> nativeExceptionHandler_;
  std::function<void(bool)> callHook_;
};

// Address layout shared by every architecture (all below 4 GiB, so 32-bit slices fit).
namespace layout {
inline constexpr Address kNativeStubs = 0x00800000;  // one instruction per native function
inline constexpr std::uint64_t kNativeStubsSize = 0x00100000;
inline constexpr Address kStatic = 0x00a00000;  // class objects, constants, strings
inline constexpr std::uint64_t kStaticSize = 0x00600000;
inline constexpr Address kImage = 0x01000000;        // the binary
inline constexpr Address kHostObjects = 0x10000000;  // the host's own objects (SBUserAgent)
inline constexpr Address kHeap = 0x20000000;
inline constexpr std::uint64_t kHeapSize = 0x40000000;
inline constexpr Address kStack = 0x70000000;
inline constexpr std::uint64_t kStackSize = 0x01000000;
}  // namespace layout

}  // namespace emulator
