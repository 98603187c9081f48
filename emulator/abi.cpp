#include "abi.h"

#include <cstring>

#include "machine.h"

namespace emulator {

std::unique_ptr<Abi> makeArm64Abi();
std::unique_ptr<Abi> makeArmAbi();

std::unique_ptr<Abi> makeAbi(Arch arch) {
  return arch == Arch::arm64 ? makeArm64Abi() : makeArmAbi();
}

std::uint64_t NativeCall::pointer() {
  return next(Type::pointer(machine().arch())).bits;
}

std::uint64_t NativeCall::integer(unsigned size, bool isSigned) {
  return next(Type::integer(size, isSigned)).bits;
}

float NativeCall::f32() {
  const std::uint32_t bits = static_cast<std::uint32_t>(next(Type::f32()).bits);
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

double NativeCall::f64() {
  const std::uint64_t bits = next(Type::f64()).bits;
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

void NativeCall::returnPointer(std::uint64_t value) {
  setResult(Type::pointer(machine().arch()), Argument::pointer(machine().arch(), value));
}

void NativeCall::returnInteger(std::uint64_t value, unsigned size, bool isSigned) {
  setResult(Type::integer(size, isSigned), Argument::integer(value, size, isSigned));
}

void NativeCall::returnBool(bool value) {
  returnInteger(value ? 1 : 0, 1, false);
}

void NativeCall::returnF32(float value) {
  setResult(Type::f32(), Argument::f32(value));
}

void NativeCall::returnF64(double value) {
  setResult(Type::f64(), Argument::f64(value));
}

void NativeCall::returnAggregate(const Type& type, std::vector<std::uint8_t> bytes) {
  setResult(type, Argument::aggregate(type, std::move(bytes)));
}

}  // namespace emulator
