// The arm64 calling convention as Apple's platforms use it: integers and pointers in x0-x7,
// floats and doubles in v0-v7 (a float in the low 32 bits, the rest zero), homogeneous float
// aggregates in consecutive v registers, other aggregates of up to 16 bytes in x registers,
// larger ones by address; stack arguments packed at their natural alignment; variadic arguments
// all on the stack in 8-byte slots; an indirect result's address in x8.
#include <unicorn/unicorn.h>

#include <cstring>

#include "abi.h"
#include "machine.h"

namespace emulator {

namespace {

int xRegister(unsigned n) {
  if (n <= 28) return UC_ARM64_REG_X0 + static_cast<int>(n);
  return n == 29 ? UC_ARM64_REG_X29 : UC_ARM64_REG_X30;
}

int qRegister(unsigned n) {
  return UC_ARM64_REG_Q0 + static_cast<int>(n);
}

struct Vector {
  std::uint64_t low = 0;
  std::uint64_t high = 0;
};

Vector readVector(const Machine& m, unsigned n) {
  Vector v;
  m.readRegRaw(qRegister(n), &v);
  return v;
}

void writeVector(Machine& m, unsigned n, std::uint64_t low) {
  Vector v{low, 0};
  m.writeRegRaw(qRegister(n), &v);
}

std::uint64_t truncate(std::uint64_t value, const Type& type) {
  if (type.size >= 8) return value;
  const std::uint64_t mask = (std::uint64_t{1} << (type.size * 8)) - 1;
  value &= mask;
  if (type.kind == Type::Kind::kSigned && (value >> (type.size * 8 - 1)) & 1) value |= ~mask;
  return value;
}

Address alignUp(Address a, unsigned alignment) {
  return alignment ? (a + alignment - 1) / alignment * alignment : a;
}

class Arm64Call : public NativeCall {
 public:
  explicit Arm64Call(Machine& machine)
      : machine_(machine),
        stack_(machine.reg(UC_ARM64_REG_SP)),
        indirectResult_(machine.reg(UC_ARM64_REG_X8)) {}

  Machine& machine() override { return machine_; }

  void startVariadic() override { variadic_ = true; }
  Address cxxResultSlot() override { return indirectResult_; }

  Argument next(const Type& type) override {
    Argument out;
    out.type = type;
    if (type.kind == Type::Kind::kVoid) return out;
    if (variadic_) return nextVariadic(type);
    if (type.isFloating()) {
      if (nsrn_ < 8) {
        const Vector v = readVector(machine_, nsrn_++);
        checkFloating(type, v);
        out.bits = type.kind == Type::Kind::kFloat ? (v.low & 0xffffffffu) : v.low;
        return out;
      }
      out.bits = fromStack(type.size, type.alignment);
      return out;
    }
    if (type.isAggregate()) return nextAggregate(type);
    if (ngrn_ < 8) {
      out.bits = truncate(machine_.reg(xRegister(ngrn_++)), type);
      return out;
    }
    out.bits = truncate(fromStack(type.size, type.alignment), type);
    return out;
  }

  void setResult(const Type& type, const Argument& value) override {
    switch (type.kind) {
      case Type::Kind::kVoid:
        return;
      case Type::Kind::kFloat:
      case Type::Kind::kDouble:
        writeVector(machine_, 0, value.bits);
        return;
      case Type::Kind::kStruct:
      case Type::Kind::kArray:
      case Type::Kind::kUnion: {
        std::vector<std::uint8_t> bytes = value.bytes;
        bytes.resize(type.size);
        Type::Kind member;
        unsigned count = 0;
        if (type.homogeneousFloat(&member, &count)) {
          const unsigned width = member == Type::Kind::kFloat ? 4 : 8;
          for (unsigned i = 0; i < count; ++i) {
            std::uint64_t bits = 0;
            std::memcpy(&bits, bytes.data() + i * width, width);
            writeVector(machine_, i, bits);
          }
        } else if (type.size <= 16) {
          bytes.resize(16);
          std::uint64_t words[2];
          std::memcpy(words, bytes.data(), 16);
          machine_.setReg(UC_ARM64_REG_X0, words[0]);
          machine_.setReg(UC_ARM64_REG_X1, words[1]);
        } else {
          machine_.write(indirectResult_, bytes.data(), bytes.size());
        }
        return;
      }
      default:
        machine_.setReg(UC_ARM64_REG_X0, truncate(value.bits, type));
        return;
    }
  }

 private:
  std::uint64_t fromStack(unsigned size, unsigned alignment) {
    stack_ = alignUp(stack_, std::max(alignment, 1u));
    std::uint64_t value = 0;
    machine_.read(stack_, &value, std::min(size, 8u));
    stack_ += size;
    return value;
  }

  Argument nextVariadic(const Type& type) {
    Argument out;
    out.type = type;
    stack_ = alignUp(stack_, 8);
    if (type.isAggregate()) {
      if (type.size > 16) {
        const Address copy = machine_.loadPointer(stack_);
        stack_ += 8;
        out.bytes = machine_.readBytes(copy, type.size);
      } else {
        out.bytes = machine_.readBytes(stack_, type.size);
        stack_ += alignUp(type.size, 8);
      }
      return out;
    }
    std::uint64_t word = machine_.load<std::uint64_t>(stack_);
    stack_ += 8;
    if (type.kind == Type::Kind::kFloat) {
      // C promotes a variadic float to double.
      double d;
      std::memcpy(&d, &word, 8);
      const float f = static_cast<float>(d);
      std::uint32_t bits;
      std::memcpy(&bits, &f, 4);
      out.bits = bits;
    } else {
      out.bits = type.isFloating() ? word : truncate(word, type);
    }
    return out;
  }

  Argument nextAggregate(const Type& type) {
    Argument out;
    out.type = type;
    Type::Kind member;
    unsigned count = 0;
    if (type.homogeneousFloat(&member, &count)) {
      const unsigned width = member == Type::Kind::kFloat ? 4 : 8;
      if (nsrn_ + count <= 8) {
        out.bytes.resize(type.size);
        for (unsigned i = 0; i < count; ++i) {
          const Vector v = readVector(machine_, nsrn_++);
          std::memcpy(out.bytes.data() + i * width, &v.low, width);
        }
        return out;
      }
      nsrn_ = 8;
      stack_ = alignUp(stack_, std::max(type.alignment, 8u));
      out.bytes = machine_.readBytes(stack_, type.size);
      stack_ += alignUp(type.size, 8);
      return out;
    }
    if (type.size > 16) {
      Argument address = next(Type::pointer(Arch::arm64));
      out.bytes = machine_.readBytes(address.bits, type.size);
      return out;
    }
    const unsigned words = (type.size + 7) / 8;
    if (type.alignment == 16 && (ngrn_ & 1)) ++ngrn_;
    if (ngrn_ + words <= 8) {
      std::uint64_t raw[2] = {0, 0};
      for (unsigned i = 0; i < words; ++i) raw[i] = machine_.reg(xRegister(ngrn_++));
      out.bytes.resize(type.size);
      std::memcpy(out.bytes.data(), raw, type.size);
      return out;
    }
    ngrn_ = 8;
    stack_ = alignUp(stack_, std::max(type.alignment, 8u));
    out.bytes = machine_.readBytes(stack_, type.size);
    stack_ += alignUp(type.size, 8);
    return out;
  }

  // A float is written to an s register, which clears the rest of the register; a double fills
  // the low 64 bits. What is there shows which one the caller passed.
  void checkFloating(const Type& type, const Vector& v) const {
    const std::uint32_t high = static_cast<std::uint32_t>(v.low >> 32);
    const std::uint32_t low = static_cast<std::uint32_t>(v.low);
    if (type.kind == Type::Kind::kFloat && high != 0) {
      machine_.fault("argument of the wrong kind: a double (or other 64-bit value) in v" +
                     std::to_string(nsrn_ - 1) + " where a float is read");
    }
    if (type.kind == Type::Kind::kDouble && high == 0 && low != 0) {
      machine_.fault("argument of the wrong kind: a float in v" + std::to_string(nsrn_ - 1) +
                     " where a double is read");
    }
  }

  Machine& machine_;
  unsigned ngrn_ = 0;
  unsigned nsrn_ = 0;
  Address stack_;
  Address indirectResult_;
  bool variadic_ = false;
};

class Arm64Abi : public Abi {
 public:
  std::unique_ptr<NativeCall> incoming(Machine& machine) const override {
    return std::make_unique<Arm64Call>(machine);
  }

  PreparedCall prepareCall(Machine& machine, const std::vector<Argument>& args, const Type& returns,
                           Address stackTop, Address returnTo) const override {
    PreparedCall prepared;
    unsigned ngrn = 0, nsrn = 0;
    struct StackSlot {
      std::uint64_t offset;
      std::vector<std::uint8_t> bytes;
    };
    std::vector<StackSlot> stack;
    std::uint64_t stackSize = 0;
    // Aggregates of over 16 bytes are copied below the argument area; their addresses passed.
    Address copies = stackTop;
    auto onStack = [&](const void* data, unsigned size, unsigned alignment) {
      stackSize = alignUp(stackSize, std::max(alignment, 1u));
      const auto* p = static_cast<const std::uint8_t*>(data);
      stack.push_back({stackSize, std::vector<std::uint8_t>(p, p + size)});
      stackSize += size;
    };
    for (const Argument& arg : args) {
      const Type& type = arg.type;
      if (type.isFloating()) {
        if (nsrn < 8) {
          writeVector(machine, nsrn++, arg.bits);
        } else {
          onStack(&arg.bits, type.size, type.alignment);
        }
      } else if (type.isAggregate()) {
        std::vector<std::uint8_t> bytes = arg.bytes;
        bytes.resize(type.size);
        Type::Kind member;
        unsigned count = 0;
        if (type.homogeneousFloat(&member, &count)) {
          if (nsrn + count <= 8) {
            const unsigned width = member == Type::Kind::kFloat ? 4 : 8;
            for (unsigned i = 0; i < count; ++i) {
              std::uint64_t bits = 0;
              std::memcpy(&bits, bytes.data() + i * width, width);
              writeVector(machine, nsrn++, bits);
            }
          } else {
            // Whole on the stack, by value, however large; later floats no longer take registers.
            nsrn = 8;
            bytes.resize(alignUp(type.size, 8));
            onStack(bytes.data(), static_cast<unsigned>(bytes.size()),
                    std::max(type.alignment, 8u));
          }
        } else if (type.size > 16) {
          copies = (copies - type.size) & ~Address{15};
          machine.write(copies, bytes.data(), bytes.size());
          if (ngrn < 8) {
            machine.setReg(xRegister(ngrn++), copies);
          } else {
            onStack(&copies, 8, 8);
          }
        } else {
          const unsigned words = (type.size + 7) / 8;
          if (ngrn + words <= 8) {
            bytes.resize(16);
            std::uint64_t raw[2];
            std::memcpy(raw, bytes.data(), 16);
            for (unsigned i = 0; i < words; ++i) machine.setReg(xRegister(ngrn++), raw[i]);
          } else {
            ngrn = 8;
            onStack(bytes.data(), static_cast<unsigned>(alignUp(type.size, 8)), 8);
          }
        }
      } else if (ngrn < 8) {
        machine.setReg(xRegister(ngrn++), arg.bits);
      } else {
        onStack(&arg.bits, type.size, type.alignment);
      }
    }
    Address sp = (copies - stackSize) & ~Address{15};
    for (const StackSlot& slot : stack) {
      machine.write(sp + slot.offset, slot.bytes.data(), slot.bytes.size());
    }
    if (returns.isAggregate() && returns.size > 16) {
      Type::Kind member;
      unsigned count = 0;
      if (!returns.homogeneousFloat(&member, &count)) {
        // The callee writes the result below the arguments' copies.
        const Address result = (sp - returns.size - 64) & ~Address{15};
        machine.setReg(UC_ARM64_REG_X8, result);
        prepared.indirectResult = result;
        sp = result;
      }
    }
    machine.setReg(UC_ARM64_REG_SP, sp);
    machine.setReg(UC_ARM64_REG_LR, returnTo);
    prepared.stackPointer = sp;
    return prepared;
  }

  Returned result(Machine& machine, const Type& returns, const PreparedCall& call) const override {
    Returned r;
    r.integer = machine.reg(UC_ARM64_REG_X0);
    const Vector v0 = readVector(machine, 0);
    std::memcpy(&r.f64, &v0.low, 8);
    std::memcpy(&r.f32, &v0.low, 4);
    if (returns.isAggregate()) {
      Type::Kind member;
      unsigned count = 0;
      if (returns.homogeneousFloat(&member, &count)) {
        const unsigned width = member == Type::Kind::kFloat ? 4 : 8;
        r.bytes.resize(returns.size);
        for (unsigned i = 0; i < count; ++i) {
          const Vector v = readVector(machine, i);
          std::memcpy(r.bytes.data() + i * width, &v.low, width);
        }
      } else if (returns.size <= 16) {
        std::uint64_t raw[2] = {machine.reg(UC_ARM64_REG_X0), machine.reg(UC_ARM64_REG_X1)};
        r.bytes.resize(returns.size);
        std::memcpy(r.bytes.data(), raw, returns.size);
      } else {
        r.bytes = machine.readBytes(call.indirectResult, returns.size);
      }
    }
    return r;
  }

  int pcRegister() const override { return UC_ARM64_REG_PC; }
  int spRegister() const override { return UC_ARM64_REG_SP; }
  int lrRegister() const override { return UC_ARM64_REG_LR; }
  int stubRegister() const override { return UC_ARM64_REG_X16; }
  int argumentRegister(unsigned n) const override { return xRegister(n); }
  std::vector<std::uint8_t> stubCode() const override {
    return {0x00, 0x02, 0x1f, 0xd6};  // br x16
  }
  unsigned stubSize() const override { return 4; }
  unsigned redZone() const override { return 128; }
};

}  // namespace

std::unique_ptr<Abi> makeArm64Abi() {
  return std::make_unique<Arm64Abi>();
}

}  // namespace emulator
