#include "machine.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <utility>

namespace emulator {

namespace {

constexpr std::uint64_t kPage = 0x1000;
constexpr std::uint64_t kHeapChunk = 0x400000;
constexpr std::uint64_t kQuarantineBytes = 8u << 20;
constexpr std::uint8_t kFreedPattern = 0xa5;

Address pageDown(Address a) {
  return a & ~(kPage - 1);
}

Address pageUp(Address a) {
  return (a + kPage - 1) & ~(kPage - 1);
}

void check(uc_err err, const char* what) {
  if (err != UC_ERR_OK) {
    throw EmulationFault(std::string(what) + ": " + uc_strerror(err));
  }
}

}  // namespace

struct Machine::Heap {
  struct Block {
    std::uint64_t capacity;
    std::uint64_t requested;
    bool live;
  };
  Address next = layout::kHeap;
  Address mappedEnd = layout::kHeap;
  std::map<Address, Block> blocks;
  std::multimap<std::uint64_t, Address> free;
  std::deque<Address> quarantine;
  std::uint64_t quarantined = 0;
};

Machine::Machine(Arch arch) : arch_(arch), heap_(std::make_unique<Heap>()) {
  abi_ = makeAbi(arch);
  if (!abi_) throw EmulationFault("no calling convention for " + std::string(archName(arch)));
  const uc_arch ucArch = is64Bit(arch) ? UC_ARCH_ARM64 : UC_ARCH_ARM;
  const int mode = is64Bit(arch) ? UC_MODE_ARM : UC_MODE_ARM;
  check(uc_open(ucArch, static_cast<uc_mode>(mode), &uc_), "cannot start the emulated CPU");
  if (is64Bit(arch)) {
    // Floating point and SIMD on, as on the phone.
    std::uint64_t cpacr = 0;
    uc_reg_read(uc_, UC_ARM64_REG_CPACR_EL1, &cpacr);
    cpacr |= 3u << 20;
    uc_reg_write(uc_, UC_ARM64_REG_CPACR_EL1, &cpacr);
  } else {
    // A Cortex-A15 has what armv7 and armv7s phones have (VFPv4, NEON, integer division).
    check(uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_A15), "cannot choose the emulated CPU");
    std::uint32_t cpacr = 0;
    uc_reg_read(uc_, UC_ARM_REG_C1_C0_2, &cpacr);
    cpacr |= 0xfu << 20;  // cp10 and cp11: VFP and NEON
    uc_reg_write(uc_, UC_ARM_REG_C1_C0_2, &cpacr);
    const std::uint32_t fpexc = 1u << 30;
    uc_reg_write(uc_, UC_ARM_REG_FPEXC, &fpexc);
  }
  map(layout::kNativeStubs, layout::kNativeStubsSize);
  map(layout::kStatic, layout::kStaticSize);
  map(layout::kStack, layout::kStackSize);
  staticNext_ = layout::kStatic;
  staticEnd_ = layout::kStatic + layout::kStaticSize;
  stackTop_ = layout::kStack + layout::kStackSize - 0x100;
  // The first stub is the return trap: a call from the host ends when it is reached.
  returnTrap_ = addNative("(return to the host)",
                          [](Machine& m, NativeCall&) { m.fault("the return trap was executed"); });
  uc_hook hook;
  check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&Machine::onCode), this,
                    layout::kNativeStubs, layout::kNativeStubs + layout::kNativeStubsSize - 1),
        "cannot hook the native stubs");
  check(uc_hook_add(uc_, &hook,
                    UC_HOOK_MEM_READ_UNMAPPED | UC_HOOK_MEM_WRITE_UNMAPPED |
                        UC_HOOK_MEM_FETCH_UNMAPPED | UC_HOOK_MEM_FETCH_PROT,
                    reinterpret_cast<void*>(&Machine::onInvalidMemory), this, 1, 0),
        "cannot hook invalid memory");
  check(uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&Machine::onInterrupt), this,
                    1, 0),
        "cannot hook interrupts");
}

Machine::~Machine() {
  if (uc_) uc_close(uc_);
}

// --- Memory ----------------------------------------------------------------------------------

void Machine::map(Address address, std::uint64_t size) {
  const Address begin = pageDown(address);
  const Address end = pageUp(address + size);
  check(uc_mem_map(uc_, begin, end - begin, UC_PROT_ALL), "cannot map emulated memory");
  mapped_.emplace_back(begin, end - begin);
}

bool Machine::isMapped(Address address, std::uint64_t size) const {
  for (const auto& [begin, length] : mapped_) {
    if (address >= begin && address - begin <= length && size <= length - (address - begin))
      return true;
  }
  return false;
}

void Machine::read(Address address, void* out, std::size_t size) const {
  if (size == 0) return;
  if (uc_mem_read(uc_, address, out, size) != UC_ERR_OK) {
    fault("read of " + std::to_string(size) + " bytes at " + hex(address) +
          ", which is not mapped");
  }
}

void Machine::write(Address address, const void* data, std::size_t size) {
  if (size == 0) return;
  if (uc_mem_write(uc_, address, data, size) != UC_ERR_OK) {
    fault("write of " + std::to_string(size) + " bytes at " + hex(address) +
          ", which is not mapped");
  }
}

Address Machine::loadPointer(Address address) const {
  return is64Bit(arch_) ? load<std::uint64_t>(address) : load<std::uint32_t>(address);
}

void Machine::storePointer(Address address, Address value) {
  if (is64Bit(arch_)) {
    store<std::uint64_t>(address, value);
  } else {
    store<std::uint32_t>(address, static_cast<std::uint32_t>(value));
  }
}

std::string Machine::readCString(Address address, std::size_t limit) const {
  if (address == 0) fault("a null pointer where a C string is read");
  std::string out;
  char chunk[64];
  while (out.size() < limit) {
    // Reads up to the end of the page, so a string at the end of mapped memory still reads.
    const std::size_t n = std::min<std::size_t>(sizeof chunk, kPage - (address % kPage));
    read(address, chunk, n);
    const void* nul = std::memchr(chunk, 0, n);
    if (nul) {
      out.append(chunk, static_cast<const char*>(nul) - chunk);
      return out;
    }
    out.append(chunk, n);
    address += n;
  }
  fault("a C string at " + hex(address) + " runs past " + std::to_string(limit) + " bytes");
}

std::vector<std::uint8_t> Machine::readBytes(Address address, std::size_t size) const {
  std::vector<std::uint8_t> bytes(size);
  read(address, bytes.data(), size);
  return bytes;
}

Address Machine::allocateStatic(std::uint64_t size, std::uint64_t alignment) {
  const Address at = (staticNext_ + alignment - 1) / alignment * alignment;
  if (at + size > staticEnd_) fault("the emulator's static memory is full");
  staticNext_ = at + std::max<std::uint64_t>(size, 1);
  return at;
}

Address Machine::internString(std::string_view text) {
  auto it = strings_.find(std::string(text));
  if (it != strings_.end()) return it->second;
  const Address at = allocateStatic(text.size() + 1, 1);
  write(at, text.data(), text.size());
  strings_.emplace(std::string(text), at);
  return at;
}

Address Machine::allocate(std::uint64_t size) {
  if (size > layout::kHeapSize / 2) fault("an allocation of " + std::to_string(size) + " bytes");
  const std::uint64_t capacity = std::max<std::uint64_t>(16, (size + 15) & ~std::uint64_t{15});
  Heap& h = *heap_;
  Address block = 0;
  auto it = h.free.lower_bound(capacity);
  if (it != h.free.end() && it->first <= capacity * 2) {
    block = it->second;
    h.free.erase(it);
    h.blocks[block].live = true;
    h.blocks[block].requested = size;
  } else {
    if (h.next + capacity > layout::kHeap + layout::kHeapSize) fault("the emulated heap is full");
    block = h.next;
    h.next += capacity;
    while (h.mappedEnd < h.next) {
      map(h.mappedEnd, kHeapChunk);
      h.mappedEnd += kHeapChunk;
    }
    h.blocks[block] = {capacity, size, true};
  }
  std::vector<std::uint8_t> zeros(h.blocks[block].capacity, 0);
  write(block, zeros.data(), zeros.size());
  return block;
}

void Machine::deallocate(Address block) {
  if (block == 0) return;
  Heap& h = *heap_;
  auto it = h.blocks.find(block);
  if (it == h.blocks.end()) fault("free of " + hex(block) + ", which was never allocated");
  if (!it->second.live) fault("free of " + hex(block) + ", which was already freed");
  it->second.live = false;
  std::vector<std::uint8_t> poison(it->second.capacity, kFreedPattern);
  write(block, poison.data(), poison.size());
  h.quarantine.push_back(block);
  h.quarantined += it->second.capacity;
  while (h.quarantined > kQuarantineBytes && !h.quarantine.empty()) {
    const Address oldest = h.quarantine.front();
    h.quarantine.pop_front();
    const std::uint64_t capacity = h.blocks[oldest].capacity;
    h.quarantined -= capacity;
    h.free.emplace(capacity, oldest);
  }
}

std::uint64_t Machine::allocationSize(Address block) const {
  auto it = heap_->blocks.find(block);
  return it != heap_->blocks.end() && it->second.live ? it->second.requested : 0;
}

bool Machine::isFreedBlock(Address address) const {
  auto it = heap_->blocks.upper_bound(address);
  if (it == heap_->blocks.begin()) return false;
  --it;
  return address < it->first + it->second.capacity && !it->second.live;
}

// --- Native functions ------------------------------------------------------------------------

Address Machine::addNative(std::string name, NativeFunction function) {
  const unsigned size = abi_->stubSize();
  const Address at = layout::kNativeStubs + natives_.size() * size;
  if (at + size > layout::kNativeStubs + layout::kNativeStubsSize) fault("too many native stubs");
  const auto code = abi_->stubCode();
  write(at, code.data(), code.size());
  natives_.push_back({std::move(name), std::move(function)});
  return at;
}

std::string Machine::nativeName(Address address) const {
  if (!isNative(address)) return {};
  return natives_[((address & ~Address{1}) - layout::kNativeStubs) / abi_->stubSize()].name;
}

bool Machine::isNative(Address address) const {
  address &= ~Address{1};
  return address >= layout::kNativeStubs &&
         address < layout::kNativeStubs + natives_.size() * abi_->stubSize();
}

void Machine::onCode(uc_struct*, std::uint64_t address, std::uint32_t, void* self) {
  auto* machine = static_cast<Machine*>(self);
  try {
    machine->runNative(address);
  } catch (...) {
    machine->fail(std::current_exception());
  }
}

void Machine::runNative(Address address) {
  const std::size_t index = (address - layout::kNativeStubs) / abi_->stubSize();
  if (index >= natives_.size()) fault("a jump into the stub area at " + hex(address));
  const Address saved = continuation_;
  continuation_ = returnAddress();
  auto call = abi_->incoming(*this);
  try {
    natives_[index].function(*this, *call);
  } catch (const EmulationFault&) {
    continuation_ = saved;
    throw;
  } catch (...) {
    if (!nativeExceptionHandler_) {
      continuation_ = saved;
      throw;
    }
    nativeExceptionHandler_(std::current_exception());
  }
  setReg(abi_->stubRegister(), continuation_);
  continuation_ = saved;
}

bool Machine::onInvalidMemory(uc_struct*, int type, std::uint64_t address, int size, std::int64_t,
                              void* self) {
  auto* machine = static_cast<Machine*>(self);
  const char* what = "access";
  switch (type) {
    case UC_MEM_READ_UNMAPPED:
      what = "read";
      break;
    case UC_MEM_WRITE_UNMAPPED:
      what = "write";
      break;
    case UC_MEM_FETCH_UNMAPPED:
    case UC_MEM_FETCH_PROT:
      what = "jump";
      break;
    default:
      break;
  }
  const Address pc = machine->reg(machine->abi_->pcRegister());
  machine->memoryFault_ = std::string("invalid memory ") + what + " at " + hex(address) + " (" +
                          std::to_string(size) + " bytes) from pc " + hex(pc);
  if (machine->isFreedBlock(address)) machine->memoryFault_ += ", in a freed heap block";
  return false;
}

void Machine::onInterrupt(uc_struct*, std::uint32_t number, void* self) {
  auto* machine = static_cast<Machine*>(self);
  const Address pc = machine->reg(machine->abi_->pcRegister());
  try {
    machine->fault("a trap instruction (exception " + std::to_string(number) + ") at " +
                   hex(pc - 4) + ": the code asked to crash");
  } catch (...) {
    machine->fail(std::current_exception());
  }
}

void Machine::fail(std::exception_ptr failure) {
  if (!failure_) failure_ = std::move(failure);
  uc_emu_stop(uc_);
}

void Machine::fault(const std::string& message) const {
  throw EmulationFault(message);
}

// --- Calls -----------------------------------------------------------------------------------

Returned Machine::call(Address function, const std::vector<Argument>& args) {
  return call(function, args, Type::voidType());
}

Returned Machine::call(Address function, const std::vector<Argument>& args, const Type& returns) {
  if (function == 0) fault("a call of a null function pointer");
  uc_context* saved = nullptr;
  check(uc_context_alloc(uc_, &saved), "cannot save the emulated CPU");
  uc_context_save(uc_, saved);
  const Address sp =
      depth_ > 0 ? ((reg(abi_->spRegister()) - abi_->redZone() - 256) & ~Address{15}) : stackTop_;
  if (sp < layout::kStack + 0x1000) fault("the emulated stack overflowed");
  const Abi::PreparedCall prepared = abi_->prepareCall(*this, args, returns, sp, returnTrap_);
  const bool outermost = depth_ == 0;
  ++depth_;
  memoryFault_.clear();
  const std::uint64_t timeout =
      outermost ? static_cast<std::uint64_t>(timeLimit_.count()) * 1000 : 0;
  if (callHook_) callHook_(true);
  const uc_err err = uc_emu_start(uc_, function, returnTrap_, timeout, 0);
  if (callHook_) callHook_(false);
  --depth_;
  std::exception_ptr failure = std::exchange(failure_, nullptr);
  std::exception_ptr escaping = std::exchange(escaping_, nullptr);
  if (!failure && !escaping && err != UC_ERR_OK) {
    failure = std::make_exception_ptr(EmulationFault(
        memoryFault_.empty() ? std::string("the emulated CPU stopped: ") + uc_strerror(err) +
                                   " at pc " + hex(reg(abi_->pcRegister()))
                             : memoryFault_));
  }
  if (!failure && !escaping && (reg(abi_->pcRegister()) & ~Address{1}) != returnTrap_) {
    failure = std::make_exception_ptr(EmulationFault(
        "the call of " + hex(function) + " did not return" +
        (outermost ? " within " + std::to_string(timeLimit_.count() / 1000) + " s" : "") +
        "; it was at pc " + hex(reg(abi_->pcRegister()))));
  }
  Returned result;
  if (!failure && !escaping) result = abi_->result(*this, returns, prepared);
  uc_context_restore(uc_, saved);
  uc_context_free(saved);
  if (failure) std::rethrow_exception(failure);
  if (escaping) std::rethrow_exception(escaping);
  return result;
}

// --- Registers -------------------------------------------------------------------------------

std::uint64_t Machine::reg(int uc_register) const {
  std::uint64_t value = 0;
  uc_reg_read(uc_, uc_register, &value);
  if (!is64Bit(arch_)) value &= 0xffffffffu;
  return value;
}

void Machine::setReg(int uc_register, std::uint64_t value) {
  uc_reg_write(uc_, uc_register, &value);
}

void Machine::readRegRaw(int uc_register, void* out) const {
  uc_reg_read(uc_, uc_register, out);
}

void Machine::writeRegRaw(int uc_register, const void* in) {
  uc_reg_write(uc_, uc_register, in);
}

Address Machine::returnAddress() const {
  return reg(abi_->lrRegister());
}

std::string Machine::hex(Address address) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address));
  return text;
}

}  // namespace emulator
