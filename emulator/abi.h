// Types as the Objective-C runtime encodes them, and how each architecture's calling convention
// passes them: where a native function finds its arguments and puts its result, and how a call
// into emulated code lays out its arguments.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arch.h"

namespace emulator {

class Machine;

struct Type {
  enum class Kind {
    kVoid,
    kSigned,    // c s i l q (and BOOL where it is a signed char)
    kUnsigned,  // C S I L Q B
    kFloat,
    kDouble,
    kPointer,   // ^ * (and anything passed as an address)
    kObject,    // @
    kBlock,     // @?
    kClass,     // #
    kSelector,  // :
    kStruct,
    kArray,
    kUnion,
  };
  Kind kind = Kind::kVoid;
  unsigned size = 0;
  unsigned alignment = 1;
  std::string name;  // a struct's name, an object's class
  std::vector<Type> members;

  bool isInteger() const { return kind == Kind::kSigned || kind == Kind::kUnsigned; }
  bool isFloating() const { return kind == Kind::kFloat || kind == Kind::kDouble; }
  bool isAggregate() const {
    return kind == Kind::kStruct || kind == Kind::kArray || kind == Kind::kUnion;
  }
  bool isPointerLike() const {
    return kind == Kind::kPointer || kind == Kind::kObject || kind == Kind::kBlock ||
           kind == Kind::kClass || kind == Kind::kSelector;
  }
  // A homogeneous aggregate of one floating type (up to four members): its member and count.
  bool homogeneousFloat(Kind* member, unsigned* count) const;
  // How the type reads in a message ("float", "double", "object", "struct CGRect", ...).
  std::string describe() const;

  static Type voidType() { return {}; }
  static Type integer(unsigned size, bool isSigned);
  static Type pointer(Arch arch);
  static Type object(Arch arch);
  static Type f32();
  static Type f64();
};

// Parses one method or block signature ("v24@0:8f16@20", "B@:^f@") into its return type and
// argument types; offsets are ignored. None for an encoding it cannot read.
struct Signature {
  Type returns;
  std::vector<Type> arguments;
};
std::optional<Signature> parseSignature(std::string_view encoding, Arch arch);
std::optional<Type> parseType(std::string_view encoding, Arch arch);

// One argument of a call into emulated code.
struct Argument {
  Type type;
  std::uint64_t bits = 0;           // integers and pointers; float and double bit patterns
  std::vector<std::uint8_t> bytes;  // aggregates

  static Argument pointer(Arch arch, std::uint64_t address);
  static Argument integer(std::uint64_t value, unsigned size, bool isSigned);
  static Argument f32(float value);
  static Argument f64(double value);
  static Argument aggregate(Type type, std::vector<std::uint8_t> bytes);
};

// What a call returned.
struct Returned {
  std::uint64_t integer = 0;
  double f64 = 0;
  float f32 = 0;
  std::vector<std::uint8_t> bytes;  // aggregates
};

// The arguments and result of one call of a native function, in the caller's registers and stack.
class NativeCall {
 public:
  virtual ~NativeCall() = default;
  // The next argument of `type`. Faults when what the caller put there cannot be of that type
  // (a double where a float is read, a value wider than the integer read).
  virtual Argument next(const Type& type) = 0;
  // The variadic arguments start here.
  virtual void startVariadic() = 0;
  // Where a function returning a C++ object that is not trivially copyable writes it (x8 on
  // arm64; a hidden first argument on 32-bit ARM, so read it first).
  virtual Address cxxResultSlot() = 0;
  // Before reading the arguments of a function that returns an aggregate of `type`: where the
  // convention passes the result's address first (32-bit ARM), it is taken now.
  virtual void prepareAggregateResult(const Type& type) { (void)type; }
  virtual void setResult(const Type& type, const Argument& value) = 0;

  std::uint64_t pointer();
  std::uint64_t integer(unsigned size, bool isSigned = false);
  float f32();
  double f64();
  void returnPointer(std::uint64_t value);
  void returnInteger(std::uint64_t value, unsigned size, bool isSigned = false);
  void returnBool(bool value);  // BOOL: one byte
  void returnF32(float value);
  void returnF64(double value);
  void returnAggregate(const Type& type, std::vector<std::uint8_t> bytes);
  virtual Machine& machine() = 0;
};

class Abi {
 public:
  virtual ~Abi() = default;
  // The calling convention of a native function being called now.
  virtual std::unique_ptr<NativeCall> incoming(Machine& machine) const = 0;
  // Lays out `args` for a call and points the registers at it, below `stackTop`, returning to
  // `returnTo`. What it returns tells result() where an indirect result lies.
  struct PreparedCall {
    Address stackPointer = 0;
    Address indirectResult = 0;
  };
  virtual PreparedCall prepareCall(Machine& machine, const std::vector<Argument>& args,
                                   const Type& returns, Address stackTop,
                                   Address returnTo) const = 0;
  // Reads the result of a finished call.
  virtual Returned result(Machine& machine, const Type& returns,
                          const PreparedCall& call) const = 0;

  // Registers by role (Unicorn's numbers).
  virtual int pcRegister() const = 0;
  virtual int spRegister() const = 0;
  virtual int lrRegister() const = 0;
  // The register of the n-th integer argument.
  virtual int argumentRegister(unsigned n) const = 0;
  // The register the native stub branches through.
  virtual int stubRegister() const = 0;
  // The bytes of one native stub: a branch to the address in stubRegister().
  virtual std::vector<std::uint8_t> stubCode() const = 0;
  virtual unsigned stubSize() const = 0;
  // Bytes below the stack pointer that a leaf function may use without moving it.
  virtual unsigned redZone() const = 0;
};

std::unique_ptr<Abi> makeAbi(Arch arch);
// Whether a function returning `type` writes it through an address the caller passes.
bool returnsAggregateInMemory(Arch arch, const Type& type);

}  // namespace emulator
