// The calling convention of iOS's 32-bit ARM (armv7, armv7s): every argument in core registers
// r0-r3 and then on the stack in 4-byte slots, floats and doubles included (the phone's calls are
// soft-float), a 64-bit value in two consecutive slots that may straddle r3 and the stack; a
// result of up to 4 bytes in r0, a 64-bit one in r0:r1, an aggregate of more than 4 bytes through
// a hidden pointer passed first. Code runs in Thumb mode or ARM mode: the low bit of a function's
// address says which; the stubs are ARM code that branches through r12.
#include <unicorn/unicorn.h>

#include <cstring>

#include "abi.h"
#include "machine.h"

namespace emulator {

namespace {

int coreRegister(unsigned n) {
  return UC_ARM_REG_R0 + static_cast<int>(n);
}

// An aggregate comes back in r0 when it fits (4 bytes or less), else through memory.
bool returnedInMemory(const Type& type) {
  return type.isAggregate() && type.size > 4;
}

class ArmCall : public NativeCall {
 public:
  explicit ArmCall(Machine& machine) : machine_(machine), stack_(machine.reg(UC_ARM_REG_SP)) {}

  Machine& machine() override { return machine_; }
  void startVariadic() override {}  // variadic arguments follow the named ones alike
  Address cxxResultSlot() override { return nextWord(); }
  void prepareAggregateResult(const Type& type) override {
    if (returnedInMemory(type) && resultSlot_ == 0) resultSlot_ = nextWord();
  }

  Argument next(const Type& type) override {
    Argument out;
    out.type = type;
    if (type.kind == Type::Kind::kVoid) return out;
    if (type.isAggregate()) {
      const unsigned words = (type.size + 3) / 4;
      out.bytes.resize(words * 4);
      for (unsigned i = 0; i < words; ++i) {
        const std::uint32_t w = nextWord();
        std::memcpy(out.bytes.data() + i * 4, &w, 4);
      }
      out.bytes.resize(type.size);
      return out;
    }
    if (type.size == 8) {
      const std::uint64_t low = nextWord();
      const std::uint64_t high = nextWord();
      out.bits = low | (high << 32);
      return out;
    }
    std::uint64_t word = nextWord();
    if (type.size < 4) {
      const std::uint64_t mask = (std::uint64_t{1} << (type.size * 8)) - 1;
      word &= mask;
      if (type.kind == Type::Kind::kSigned && (word >> (type.size * 8 - 1)) & 1) word |= ~mask;
    } else if (type.kind == Type::Kind::kSigned) {
      word = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(word)));
    }
    out.bits = word;
    return out;
  }

  void setResult(const Type& type, const Argument& value) override {
    if (type.kind == Type::Kind::kVoid) return;
    if (type.isAggregate()) {
      std::vector<std::uint8_t> bytes = value.bytes;
      bytes.resize(type.size);
      if (returnedInMemory(type)) {
        if (resultSlot_ == 0) machine_.fault("an aggregate result with no place given for it");
        machine_.write(resultSlot_, bytes.data(), bytes.size());
        machine_.setReg(UC_ARM_REG_R0, resultSlot_);
        return;
      }
      std::uint32_t word = 0;
      std::memcpy(&word, bytes.data(), bytes.size());
      machine_.setReg(UC_ARM_REG_R0, word);
      return;
    }
    machine_.setReg(UC_ARM_REG_R0, value.bits & 0xffffffffu);
    if (type.size == 8) machine_.setReg(UC_ARM_REG_R1, value.bits >> 32);
  }

 private:
  std::uint32_t nextWord() {
    if (ncrn_ < 4) return static_cast<std::uint32_t>(machine_.reg(coreRegister(ncrn_++)));
    const std::uint32_t word = machine_.load<std::uint32_t>(stack_);
    stack_ += 4;
    return word;
  }

  Machine& machine_;
  unsigned ncrn_ = 0;
  Address stack_;
  Address resultSlot_ = 0;
};

class ArmAbi : public Abi {
 public:
  std::unique_ptr<NativeCall> incoming(Machine& machine) const override {
    return std::make_unique<ArmCall>(machine);
  }

  PreparedCall prepareCall(Machine& machine, const std::vector<Argument>& args, const Type& returns,
                           Address stackTop, Address returnTo) const override {
    PreparedCall prepared;
    std::vector<std::uint32_t> words;
    Address sp = stackTop & ~Address{15};
    if (returnedInMemory(returns)) {
      sp = (sp - returns.size - 16) & ~Address{15};
      prepared.indirectResult = sp;
      words.push_back(static_cast<std::uint32_t>(sp));
    }
    for (const Argument& arg : args) {
      if (arg.type.isAggregate()) {
        std::vector<std::uint8_t> bytes = arg.bytes;
        bytes.resize((arg.type.size + 3) / 4 * 4);
        for (std::size_t i = 0; i < bytes.size(); i += 4) {
          std::uint32_t w;
          std::memcpy(&w, bytes.data() + i, 4);
          words.push_back(w);
        }
      } else if (arg.type.size == 8) {
        words.push_back(static_cast<std::uint32_t>(arg.bits));
        words.push_back(static_cast<std::uint32_t>(arg.bits >> 32));
      } else {
        words.push_back(static_cast<std::uint32_t>(arg.bits));
      }
    }
    const std::size_t onStack = words.size() > 4 ? words.size() - 4 : 0;
    sp = (sp - onStack * 4) & ~Address{7};
    for (std::size_t i = 0; i < words.size(); ++i) {
      if (i < 4) {
        machine.setReg(coreRegister(static_cast<unsigned>(i)), words[i]);
      } else {
        machine.store<std::uint32_t>(sp + (i - 4) * 4, words[i]);
      }
    }
    machine.setReg(UC_ARM_REG_SP, sp);
    machine.setReg(UC_ARM_REG_LR, returnTo);
    prepared.stackPointer = sp;
    return prepared;
  }

  Returned result(Machine& machine, const Type& returns, const PreparedCall& call) const override {
    Returned r;
    const std::uint64_t low = machine.reg(UC_ARM_REG_R0);
    const std::uint64_t high = machine.reg(UC_ARM_REG_R1);
    r.integer = returns.size == 8 ? (low | (high << 32)) : low;
    if (returns.kind == Type::Kind::kSigned && returns.size == 4) {
      r.integer =
          static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(low)));
    }
    const std::uint64_t both = low | (high << 32);
    std::memcpy(&r.f64, &both, 8);
    const std::uint32_t single = static_cast<std::uint32_t>(low);
    std::memcpy(&r.f32, &single, 4);
    if (returns.isAggregate()) {
      if (returnedInMemory(returns)) {
        r.bytes = machine.readBytes(call.indirectResult, returns.size);
      } else {
        r.bytes.resize(returns.size);
        std::memcpy(r.bytes.data(), &single, returns.size);
      }
    }
    return r;
  }

  int pcRegister() const override { return UC_ARM_REG_PC; }
  int spRegister() const override { return UC_ARM_REG_SP; }
  int lrRegister() const override { return UC_ARM_REG_LR; }
  int stubRegister() const override { return UC_ARM_REG_R12; }
  int argumentRegister(unsigned n) const override { return coreRegister(n); }
  std::vector<std::uint8_t> stubCode() const override {
    return {0x1c, 0xff, 0x2f, 0xe1};  // bx r12 (ARM)
  }
  unsigned stubSize() const override { return 4; }
  unsigned redZone() const override { return 0; }
};

}  // namespace

std::unique_ptr<Abi> makeArmAbi() {
  return std::make_unique<ArmAbi>();
}

bool returnsAggregateInMemory(Arch arch, const Type& type) {
  if (!is64Bit(arch)) return returnedInMemory(type);
  Type::Kind member;
  unsigned count = 0;
  return type.isAggregate() && type.size > 16 && !type.homogeneousFloat(&member, &count);
}

}  // namespace emulator
