// The emulator's self-contained pieces, without a phone binary: the LEB128 readers of the
// unwinder and the dyld opcodes, Objective-C type encodings per architecture, the calling
// conventions as a caller lays out a call and the callee reads it, printf-style formatting of
// variadic arguments as the phone passes them, and the Mach-O reader on tiny handmade files.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "abi.h"
#include "byte_reader.h"
#include "c_format.h"
#include "machine.h"
#include "macho_file.h"
#include "platform/ns_log.h"

namespace {

using emulator::Address;
using emulator::Arch;
using emulator::Argument;
using emulator::ByteStream;
using emulator::EmulationFault;
using emulator::Machine;
using emulator::Type;

// --- LEB128 ---------------------------------------------------------------------------------

using Bytes = std::vector<std::uint8_t>;

std::uint64_t uleb(const Bytes& bytes) {
  ByteStream in(bytes);
  const std::uint64_t value = in.uleb();
  EXPECT_FALSE(in.failed());
  EXPECT_TRUE(in.atEnd());
  return value;
}

std::int64_t sleb(const Bytes& bytes) {
  ByteStream in(bytes);
  const std::int64_t value = in.sleb();
  EXPECT_FALSE(in.failed());
  EXPECT_TRUE(in.atEnd());
  return value;
}

TEST(ByteStreamTest, ReadsUnsignedAndSignedLeb128AsDwarfWritesThem) {
  EXPECT_EQ(uleb({0xe5, 0x8e, 0x26}), 624485u);
  EXPECT_EQ(uleb({0x7f}), 127u);
  EXPECT_EQ(uleb({0x80, 0x01}), 128u);
  EXPECT_EQ(sleb({0xc0, 0xbb, 0x78}), -123456);
  EXPECT_EQ(sleb({0x7f}), -1);
  EXPECT_EQ(sleb({0x3f}), 63);  // bit 6 clear: positive
  EXPECT_EQ(sleb({0xc0, 0x00}), 64);
  EXPECT_EQ(sleb({0x40}), -64);
  // A padded encoding reads as the short one.
  EXPECT_EQ(uleb({0x85, 0x80, 0x80, 0x00}), 5u);
}

TEST(ByteStreamTest, ReadsTheWidest64BitValues) {
  EXPECT_EQ(uleb({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}), ~std::uint64_t{0});
  EXPECT_EQ(sleb({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x7f}),
            std::numeric_limits<std::int64_t>::min());
}

TEST(ByteStreamTest, FailsOnTruncatedOrEndlessNumbersAndStrings) {
  const Bytes continued{0x80, 0x80};
  ByteStream truncated(continued);
  EXPECT_EQ(truncated.uleb(), 0u);
  EXPECT_TRUE(truncated.failed());

  const Bytes one{0xff};
  ByteStream truncatedSigned(one);
  EXPECT_EQ(truncatedSigned.sleb(), 0);
  EXPECT_TRUE(truncatedSigned.failed());

  const Bytes sixteen(16, 0xff);
  ByteStream endless(sixteen);
  EXPECT_EQ(endless.uleb(), 0u);
  EXPECT_TRUE(endless.failed());

  const Bytes ab{'a', 'b'};
  ByteStream unterminated(ab);
  EXPECT_EQ(unterminated.cstring(), "ab");
  EXPECT_TRUE(unterminated.failed());

  const Bytes three{1, 2, 3};
  ByteStream skipped(three);
  skipped.skip(2);
  EXPECT_EQ(skipped.u8(), 3);
  EXPECT_FALSE(skipped.failed());
  skipped.skip(~std::uint64_t{0});
  EXPECT_TRUE(skipped.failed());
  EXPECT_TRUE(skipped.atEnd());
  EXPECT_EQ(skipped.u8(), 0);
}

TEST(ByteReaderTest, ReadsPastTheEndGiveZero) {
  const std::uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05};
  const emulator::ByteReader r(bytes, sizeof bytes);
  EXPECT_EQ(r.u32(0), 0x04030201u);
  EXPECT_EQ(r.u32(1), 0x05040302u);
  EXPECT_EQ(r.u32(2), 0u);  // straddles the end
  EXPECT_EQ(r.u8(5), 0u);
  EXPECT_EQ(r.u64(~std::uint64_t{0} - 2), 0u);  // no wrap-around into the buffer
  EXPECT_EQ(r.at(100)[0], 0u);
}

// --- Type encodings -------------------------------------------------------------------------

Type parsed(std::string_view encoding, Arch arch) {
  auto type = emulator::parseType(encoding, arch);
  if (!type) ADD_FAILURE() << "cannot read " << encoding;
  return type.value_or(Type{});
}

TEST(TypeEncodingTest, ScalarsAndPointersTakeEachArchitecturesSizes) {
  for (Arch arch : {Arch::arm64, Arch::armv7}) {
    const unsigned pointer = arch == Arch::arm64 ? 8 : 4;
    SCOPED_TRACE(std::string(emulator::archName(arch)));
    EXPECT_EQ(parsed("c", arch).describe(), "char");
    EXPECT_EQ(parsed("B", arch).describe(), "unsigned char");
    EXPECT_EQ(parsed("s", arch).describe(), "int16");
    EXPECT_EQ(parsed("l", arch).size, 4u);  // 'l' is 32 bits even on arm64
    EXPECT_EQ(parsed("q", arch).describe(), "int64");
    EXPECT_EQ(parsed("Q", arch).describe(), "uint64");
    EXPECT_EQ(parsed("f", arch).describe(), "float");
    EXPECT_EQ(parsed("d", arch).size, 8u);
    EXPECT_EQ(parsed("*", arch).size, pointer);
    EXPECT_EQ(parsed("#", arch).describe(), "class");
    EXPECT_EQ(parsed(":", arch).describe(), "selector");
    EXPECT_EQ(parsed("@", arch).size, pointer);
    EXPECT_EQ(parsed("v", arch).describe(), "void");
  }
  // armv7 aligns 64-bit scalars to 4 bytes.
  EXPECT_EQ(parsed("q", Arch::armv7).alignment, 4u);
  EXPECT_EQ(parsed("d", Arch::arm64).alignment, 8u);
}

TEST(TypeEncodingTest, QualifiersObjectsBlocksAndPointers) {
  const Type constString = parsed("r*", Arch::arm64);
  EXPECT_EQ(constString.kind, Type::Kind::kPointer);

  const Type outError = parsed("o^@", Arch::arm64);
  ASSERT_EQ(outError.kind, Type::Kind::kPointer);
  ASSERT_EQ(outError.members.size(), 1u);
  EXPECT_EQ(outError.members[0].kind, Type::Kind::kObject);

  EXPECT_EQ(parsed("Vv", Arch::arm64).kind, Type::Kind::kVoid);  // oneway void
  EXPECT_EQ(parsed("nNr^f", Arch::arm64).members.at(0).kind, Type::Kind::kFloat);

  EXPECT_EQ(parsed("@?", Arch::arm64).describe(), "block");
  EXPECT_EQ(parsed("@?<v@?@>", Arch::arm64).kind, Type::Kind::kBlock);
  EXPECT_EQ(parsed("@\"NSString\"", Arch::armv7).describe(), "NSString object");
  EXPECT_EQ(parsed("^?", Arch::armv7).size, 4u);  // a function pointer
  EXPECT_EQ(parsed("^{__CFString=}", Arch::arm64).members.at(0).describe(), "struct __CFString");
}

TEST(TypeEncodingTest, StructsArraysAndUnionsAreLaidOutPerArchitecture) {
  const Type rect64 = parsed("{CGRect={CGPoint=dd}{CGSize=dd}}", Arch::arm64);
  EXPECT_EQ(rect64.describe(), "struct CGRect");
  EXPECT_EQ(rect64.size, 32u);
  EXPECT_EQ(rect64.alignment, 8u);
  Type::Kind member{};
  unsigned count = 0;
  ASSERT_TRUE(rect64.homogeneousFloat(&member, &count));
  EXPECT_EQ(member, Type::Kind::kDouble);
  EXPECT_EQ(count, 4u);

  const Type rect32 = parsed("{CGRect={CGPoint=ff}{CGSize=ff}}", Arch::armv7);
  EXPECT_EQ(rect32.size, 16u);
  ASSERT_TRUE(rect32.homogeneousFloat(&member, &count));
  EXPECT_EQ(member, Type::Kind::kFloat);

  // Member names, as the compiler writes them for ivars, are skipped.
  EXPECT_EQ(parsed("{P=\"x\"d\"y\"d}", Arch::arm64).members.size(), 2u);

  // Padding: a char then a 64-bit integer.
  EXPECT_EQ(parsed("{S=cq}", Arch::arm64).size, 16u);
  EXPECT_EQ(parsed("{S=cq}", Arch::armv7).size, 12u);
  EXPECT_EQ(parsed("{S=qc}", Arch::arm64).size, 16u);  // tail padding to the alignment

  EXPECT_EQ(parsed("[4f]", Arch::arm64).size, 16u);
  EXPECT_TRUE(parsed("[4f]", Arch::arm64).homogeneousFloat(&member, &count));
  EXPECT_FALSE(parsed("[5f]", Arch::arm64).homogeneousFloat(&member, &count));
  EXPECT_FALSE(parsed("{M=fd}", Arch::arm64).homogeneousFloat(&member, &count));
  EXPECT_FALSE(parsed("{M=fi}", Arch::arm64).homogeneousFloat(&member, &count));
  EXPECT_TRUE(parsed("{O={I=ff}f}", Arch::arm64).homogeneousFloat(&member, &count));
  EXPECT_EQ(count, 3u);

  const Type either = parsed("(U=iq)", Arch::arm64);
  EXPECT_EQ(either.describe(), "union U");
  EXPECT_EQ(either.size, 8u);

  const Type opaque = parsed("{Opaque}", Arch::arm64);
  EXPECT_EQ(opaque.describe(), "struct Opaque");
  EXPECT_EQ(opaque.size, 0u);
}

TEST(TypeEncodingTest, SignaturesSkipOffsets) {
  auto method = emulator::parseSignature("v24@0:8f16@20", Arch::arm64);
  ASSERT_TRUE(method);
  EXPECT_EQ(method->returns.kind, Type::Kind::kVoid);
  ASSERT_EQ(method->arguments.size(), 4u);
  EXPECT_EQ(method->arguments[2].kind, Type::Kind::kFloat);
  EXPECT_EQ(method->arguments[3].kind, Type::Kind::kObject);

  auto noOffsets = emulator::parseSignature("B@:^f@", Arch::armv7);
  ASSERT_TRUE(noOffsets);
  EXPECT_EQ(noOffsets->returns.describe(), "unsigned char");
  EXPECT_EQ(noOffsets->arguments.size(), 4u);

  auto named = emulator::parseSignature("@\"NSString\"16@0:8", Arch::arm64);
  ASSERT_TRUE(named);
  EXPECT_EQ(named->returns.name, "NSString");
  EXPECT_EQ(named->arguments.size(), 2u);

  auto negative = emulator::parseSignature("v-8@0:4", Arch::armv7);
  ASSERT_TRUE(negative);
  EXPECT_EQ(negative->arguments.size(), 2u);
}

TEST(TypeEncodingTest, MalformedEncodingsAreRefused) {
  for (const char* bad : {"", "x", "^", "[4f", "[4]", "{CGRect=ff", "{CGRect", "(U=ii",
                          "@\"NSString", "r", "{S=fZ}"}) {
    EXPECT_FALSE(emulator::parseType(bad, Arch::arm64)) << bad;
  }
  EXPECT_FALSE(emulator::parseSignature("v@:Z", Arch::arm64));
  EXPECT_FALSE(emulator::parseSignature("", Arch::arm64));
}

// --- Calling conventions --------------------------------------------------------------------

constexpr Address kStackTop = emulator::layout::kStack + 0x10000;

TEST(CallingConventionTest, Arm64ArgumentsReadBackAsTheCallerLaidThemOut) {
  Machine machine(Arch::arm64);
  std::vector<Argument> args;
  std::vector<Type> types;
  for (int i = 0; i < 10; ++i) {  // two spill to the stack
    args.push_back(Argument::integer(100 + i, 8, true));
    args.push_back(Argument::f32(0.5f + static_cast<float>(i)));
  }
  args.push_back(Argument::integer(static_cast<std::uint32_t>(-7), 4, true));
  args.push_back(Argument::f64(-2.25));
  machine.abi().prepareCall(machine, args, Type::voidType(), kStackTop, 0);
  auto call = machine.abi().incoming(machine);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(call->integer(8, true), static_cast<std::uint64_t>(100 + i));
    EXPECT_EQ(call->f32(), 0.5f + static_cast<float>(i));
  }
  EXPECT_EQ(static_cast<std::int64_t>(call->integer(4, true)), -7);
  EXPECT_EQ(call->f64(), -2.25);
}

TEST(CallingConventionTest, Arm64TellsAFloatFromADoubleInAVectorRegister) {
  Machine machine(Arch::arm64);
  machine.abi().prepareCall(machine, {Argument::f64(1.1), Argument::f32(2.5f)}, Type::voidType(),
                            kStackTop, 0);
  auto call = machine.abi().incoming(machine);
  EXPECT_THROW(call->f32(), EmulationFault);  // a double where a float is read
  EXPECT_THROW(call->f64(), EmulationFault);  // a float where a double is read
}

TEST(CallingConventionTest, Arm64AggregatesInRegistersAndByAddress) {
  Machine machine(Arch::arm64);
  const Type rect = parsed("{CGRect={CGPoint=dd}{CGSize=dd}}", Arch::arm64);
  const Type big = parsed("{Big=qqq}", Arch::arm64);
  const Type pair = parsed("{Pair=ii}", Arch::arm64);
  auto bytesOf = [](const auto& value) {
    std::vector<std::uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
  };
  const double rectValue[4] = {1, 2, 3, 4};
  const std::int64_t bigValue[3] = {-1, 2, -3};
  const std::int32_t pairValue[2] = {5, -6};
  machine.abi().prepareCall(
      machine,
      {Argument::aggregate(rect, bytesOf(rectValue)), Argument::aggregate(big, bytesOf(bigValue)),
       Argument::aggregate(pair, bytesOf(pairValue))},
      Type::voidType(), kStackTop, 0);
  auto call = machine.abi().incoming(machine);
  EXPECT_EQ(call->next(rect).bytes, bytesOf(rectValue));
  EXPECT_EQ(call->next(big).bytes, bytesOf(bigValue));
  EXPECT_EQ(call->next(pair).bytes, bytesOf(pairValue));

  EXPECT_FALSE(emulator::returnsAggregateInMemory(Arch::arm64, rect));  // in d0-d3
  EXPECT_TRUE(emulator::returnsAggregateInMemory(Arch::arm64, big));
  EXPECT_FALSE(emulator::returnsAggregateInMemory(Arch::arm64, pair));
  EXPECT_TRUE(emulator::returnsAggregateInMemory(Arch::armv7, pair));  // over 4 bytes
  EXPECT_FALSE(emulator::returnsAggregateInMemory(Arch::armv7, parsed("{S=s}", Arch::armv7)));
}

TEST(CallingConventionTest, Arm64FloatAggregatesGoOnTheStackOnceTheVectorRegistersRunOut) {
  Machine machine(Arch::arm64);
  const Type point = parsed("{CGPoint=dd}", Arch::arm64);
  const double pointValue[2] = {8.5, -9.5};
  std::vector<std::uint8_t> bytes(sizeof pointValue);
  std::memcpy(bytes.data(), pointValue, sizeof pointValue);
  std::vector<Argument> args;
  for (int i = 0; i < 7; ++i) args.push_back(Argument::f64(i));
  args.push_back(Argument::aggregate(point, bytes));  // needs v7 and a v8 there is not
  args.push_back(Argument::f64(10.0));                // no back-filling of v7
  args.push_back(Argument::integer(11, 8, true));     // x0 is still free
  machine.abi().prepareCall(machine, args, Type::voidType(), kStackTop, 0);
  auto call = machine.abi().incoming(machine);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(call->f64(), i);
  EXPECT_EQ(call->next(point).bytes, bytes);
  EXPECT_EQ(call->f64(), 10.0);
  EXPECT_EQ(call->integer(8, true), 11u);
}

TEST(CallingConventionTest, Armv7PassesEverythingInCoreRegistersThenTheStack) {
  Machine machine(Arch::armv7);
  // Soft-float: a double takes r0:r1; the 64-bit integer straddles r3 and the stack.
  machine.abi().prepareCall(
      machine,
      {Argument::f64(1.0), Argument::f32(-2.0f), Argument::integer(0x1122334455667788, 8, false),
       Argument::integer(0xfffe, 2, true)},
      Type::voidType(), kStackTop, 0);
  EXPECT_EQ(machine.reg(machine.abi().argumentRegister(0)), 0u);
  EXPECT_EQ(machine.reg(machine.abi().argumentRegister(1)), 0x3ff00000u);
  EXPECT_EQ(machine.reg(machine.abi().argumentRegister(2)), 0xc0000000u);
  EXPECT_EQ(machine.reg(machine.abi().argumentRegister(3)), 0x55667788u);
  auto call = machine.abi().incoming(machine);
  EXPECT_EQ(call->f64(), 1.0);
  EXPECT_EQ(call->f32(), -2.0f);
  EXPECT_EQ(call->integer(8), 0x1122334455667788u);
  EXPECT_EQ(static_cast<std::int64_t>(call->integer(2, true)), -2);
}

// What a native function returns reads back as the caller of the convention reads it.
TEST(CallingConventionTest, ResultsReachTheCallerWhereTheConventionPutsThem) {
  auto roundTrip = [](Arch arch, const Type& type, const Argument& value) {
    Machine machine(arch);
    const auto prepared = machine.abi().prepareCall(machine, {}, type, kStackTop, 0);
    auto call = machine.abi().incoming(machine);
    call->prepareAggregateResult(type);
    call->setResult(type, value);
    return machine.abi().result(machine, type, prepared);
  };
  auto bytesOf = [](const auto& value) {
    std::vector<std::uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
  };
  for (Arch arch : {Arch::arm64, Arch::armv7}) {
    SCOPED_TRACE(std::string(emulator::archName(arch)));
    EXPECT_EQ(roundTrip(arch, Type::f32(), Argument::f32(1.25f)).f32, 1.25f);
    EXPECT_EQ(roundTrip(arch, Type::f64(), Argument::f64(-3.5)).f64, -3.5);
    EXPECT_EQ(
        roundTrip(arch, Type::integer(8, false), Argument::integer(0x1122334455667788, 8, false))
            .integer,
        0x1122334455667788u);
    EXPECT_EQ(static_cast<std::int32_t>(
                  roundTrip(arch, Type::integer(4, true), Argument::integer(0xfffffff0, 4, true))
                      .integer),
              -16);

    const Type size = parsed(arch == Arch::arm64 ? "{CGSize=dd}" : "{CGSize=ff}", arch);
    const std::vector<std::uint8_t> sizeBytes = arch == Arch::arm64
                                                    ? bytesOf(std::array<double, 2>{320, 480})
                                                    : bytesOf(std::array<float, 2>{320, 480});
    EXPECT_EQ(roundTrip(arch, size, Argument::aggregate(size, sizeBytes)).bytes, sizeBytes);

    const Type triple = parsed("{T=qqq}", arch);  // through memory on both
    const auto tripleBytes = bytesOf(std::array<std::int64_t, 3>{1, -2, 3});
    EXPECT_EQ(roundTrip(arch, triple, Argument::aggregate(triple, tripleBytes)).bytes, tripleBytes);

    const Type small = parsed("{S=cc}", arch);  // in a register on both
    EXPECT_EQ(roundTrip(arch, small, Argument::aggregate(small, {7, 9})).bytes,
              (std::vector<std::uint8_t>{7, 9}));
  }
}

// --- printf-style formatting ----------------------------------------------------------------

// The variadic arguments of one call as the phone's compiler passes them: on arm64 all on the
// stack in 8-byte slots; on armv7 in r0-r3 and then the stack in 4-byte words.
class Variadic {
 public:
  explicit Variadic(Arch arch) : machine_(arch) {}

  Variadic& integer(std::uint64_t value) {  // int, long, pointers
    if (wide()) {
      slots_.push_back(value);
    } else {
      slots_.push_back(value & 0xffffffffu);
    }
    return *this;
  }
  Variadic& integer64(std::uint64_t value) {  // long long
    if (wide()) return integer(value);
    slots_.push_back(value & 0xffffffffu);
    slots_.push_back(value >> 32);
    return *this;
  }
  Variadic& real(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, 8);
    return integer64(bits);
  }
  Variadic& string(std::string_view text) { return integer(machine_.internString(text)); }

  // Formats with the arguments ending exactly at the top of the stack, so reading one more
  // than was passed reads unmapped memory.
  // With `stringObjects`, %@ describes an object as the C string at its address (an NSString).
  std::string format(std::string_view text, bool stringObjects = false) {
    const unsigned slot = wide() ? 8 : 4;
    const std::size_t inRegisters = wide() ? 0 : std::min<std::size_t>(slots_.size(), 4);
    const Address top = emulator::layout::kStack + emulator::layout::kStackSize;
    const Address sp = top - (slots_.size() - inRegisters) * slot;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (i < inRegisters) {
        machine_.setReg(machine_.abi().argumentRegister(static_cast<unsigned>(i)), slots_[i]);
      } else {
        machine_.write(sp + (i - inRegisters) * slot, &slots_[i], slot);
      }
    }
    for (std::size_t i = inRegisters; i < 4 && !wide(); ++i) {
      machine_.setReg(machine_.abi().argumentRegister(static_cast<unsigned>(i)), 0xdead);
    }
    machine_.setReg(machine_.abi().spRegister(), sp);
    auto call = machine_.abi().incoming(machine_);
    call->startVariadic();
    return emulator::formatVariadic(
        text, *call,
        [this, stringObjects](Address object) {
          if (stringObjects && object) return machine_.readCString(object);
          return object ? "<" + Machine::hex(object) + ">" : std::string("(null)");
        },
        [this](Address p) { return machine_.readCString(p); });
  }

 private:
  bool wide() const { return machine_.arch() == Arch::arm64; }
  Machine machine_;
  std::vector<std::uint64_t> slots_;
};

TEST(CFormatTest, IntegerSizesFollowTheLengthModifiersPerArchitecture) {
  // %d reads the low 32 bits of its slot; %ld all 64 on arm64.
  EXPECT_EQ(Variadic(Arch::arm64)
                .integer(0xffffffff)
                .integer(0x100000005)
                .integer(0x8000000000000000)
                .integer(~std::uint64_t{0})
                .format("%d %d %ld %u"),
            "-1 5 -9223372036854775808 4294967295");
  EXPECT_EQ(
      Variadic(Arch::arm64).integer(0x1ff).integer(0x18000).integer(0x1ff).format("%hhd %hd %hhu"),
      "-1 -32768 255");
  EXPECT_EQ(Variadic(Arch::arm64).integer(0x123456789a).integer(0x123456789a).format("%lx %zx"),
            "123456789a 123456789a");
  // On armv7 a long is one word and a long long two, straddling r3 and the stack.
  EXPECT_EQ(Variadic(Arch::armv7)
                .integer(static_cast<std::uint32_t>(-1))
                .integer(2)
                .integer(3)
                .integer64(4294967298)
                .integer64(5)
                .format("%ld %d %u %lld %qd"),
            "-1 2 3 4294967298 5");
  EXPECT_EQ(Variadic(Arch::armv7).integer64(0xfffffffffffffffe).format("%llx"), "fffffffffffffffe");
}

TEST(CFormatTest, FlagsWidthsAndPrecisions) {
  EXPECT_EQ(Variadic(Arch::arm64)
                .integer(42)
                .integer(42)
                .integer(42)
                .integer(42)
                .integer(42)
                .integer(255)
                .integer(8)
                .integer(0)
                .integer(0xab)
                .format("[%5d|%-5d|%05d|%+d|% d|%#x|%#o|%#x|%X]"),
            "[   42|42   |00042|+42| 42|0xff|010|0|AB]");
  // '*' takes the width (negative: left-justified) and precision from the arguments.
  EXPECT_EQ(Variadic(Arch::armv7)
                .integer(4)
                .integer(7)
                .integer(static_cast<std::uint32_t>(-4))
                .integer(7)
                .integer(2)
                .real(3.14159)
                .format("[%*d|%*d|%.*f]"),
            "[   7|7   |3.14]");
  EXPECT_EQ(
      Variadic(Arch::arm64).string("abcdef").string("ab").string("ab").format("[%.3s|%4s|%-4s]"),
      "[abc|  ab|ab  ]");
}

TEST(CFormatTest, FloatingPointReadsDoublesInBothConventions) {
  for (Arch arch : {Arch::arm64, Arch::armv7}) {
    SCOPED_TRACE(std::string(emulator::archName(arch)));
    EXPECT_EQ(Variadic(arch)
                  .real(1.5)
                  .real(2.26)
                  .real(0.0001)
                  .real(1e20)
                  .real(12345.678)
                  .integer('A')
                  .format("%f|%5.1f|%g|%g|%e|%c"),
              "1.500000|  2.3|0.0001|1e+20|1.234568e+04|A");
  }
}

TEST(CFormatTest, ObjectsStringsAndPointers) {
  EXPECT_EQ(Variadic(Arch::arm64)
                .integer(0x1234)
                .integer(0)
                .integer(0)
                .integer(0x10)
                .format("%@ %@ %s %p"),
            "<0x1234> (null) (null) 0x10");
  EXPECT_EQ(Variadic(Arch::armv7).string("ring").integer(0x2000).format("%s at %p"),
            "ring at 0x2000");
}

TEST(CFormatTest, PercentSignsUnknownAndTruncatedConversionsStayAsWritten) {
  EXPECT_EQ(Variadic(Arch::arm64).integer(5).format("100%% %d"), "100% 5");
  // An unknown conversion takes no argument: the next one still reads the first.
  EXPECT_EQ(Variadic(Arch::arm64).integer(5).format("%k %5k %d"), "%k %5k 5");
  EXPECT_EQ(Variadic(Arch::arm64).format("50%"), "50%");
  EXPECT_EQ(Variadic(Arch::arm64).format("%-"), "%-");
  EXPECT_EQ(Variadic(Arch::arm64).format("%l"), "%l");
  EXPECT_EQ(Variadic(Arch::arm64).format("plain text"), "plain text");
}

TEST(CFormatTest, AMissingArgumentIsAFaultNotAReadOfHostMemory) {
  EXPECT_THROW(Variadic(Arch::arm64).integer(1).format("%d %d"), EmulationFault);
  EXPECT_THROW(Variadic(Arch::arm64).format("%s"), EmulationFault);
  // armv7: r0-r3 are always there; the fifth word is the first on the stack.
  EXPECT_THROW(Variadic(Arch::armv7).integer(1).format("%d %d %d %d %d"), EmulationFault);
}

TEST(CFormatTest, WideFieldsAreNotCut) {
  EXPECT_EQ(Variadic(Arch::arm64).integer(7).format("%600d").size(), 600u);
  EXPECT_EQ(Variadic(Arch::arm64).string("ab").format("%300s").size(), 300u);
  EXPECT_EQ(Variadic(Arch::arm64).real(1.0).format("%.600f").size(), 602u);
}

// The emulator formats a binary's NSLog as the host's own NSLog formats the monitor's: the same
// text for the same format and arguments.
TEST(CFormatTest, AgreesWithTheHostsNSLog) {
  using Arg = std::variant<std::int64_t, double, std::string>;
  struct Case {
    const char* format;
    std::vector<Arg> args;
  };
  const std::vector<Case> cases = {
      {"volume %d -> %d", {std::int64_t{3}, std::int64_t{-16}}},
      {"[%5d|%-5d|%05d|%+d|% d]", {1, 2, 3, 4, 5}},
      {"%u %x %X %o %#x", {7, 255, 255, 8, 255}},
      {"%ld %lld %qd", {-5, std::int64_t{1} << 40, 9}},
      {"%.2f %5.1f %g %e %E %G", {0.125, 2.26, 1e-5, 12345.678, 0.5, 1e20}},
      {"%s, %.3s, %6s, %-6s|", {"ring", "ringtone", "abc", "abc"}},
      {"%@ is %@", {"proximity", "near"}},
      {"%c%c", {'o', 'k'}},
      {"100%% %d%%", {50}},
      {"no conversions", {}},
      {"%p %lu", {0x10, -1}},
      // What neither can print stays as written.
      {"%k %d", {5}},
      {"50%", {}},
      {"%l", {}},
      {"%5.2", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    std::vector<platform::LogArgument> hostArgs;
    Variadic emulated(Arch::arm64);
    for (const Arg& arg : c.args) {
      if (const auto* n = std::get_if<std::int64_t>(&arg)) {
        hostArgs.emplace_back().value = *n;
        emulated.integer(static_cast<std::uint64_t>(*n));
      } else if (const auto* d = std::get_if<double>(&arg)) {
        hostArgs.emplace_back().value = *d;
        emulated.real(*d);
      } else {
        hostArgs.emplace_back().value = std::get<std::string>(arg);
        emulated.string(std::get<std::string>(arg));
      }
    }
    EXPECT_EQ(emulated.format(c.format, true), platform::formatLogMessage(c.format, hostArgs));
  }
}

// --- Mach-O --------------------------------------------------------------------------------

// A little-endian byte buffer for handmade Mach-O files.
struct Writer {
  std::string bytes;
  Writer& u32(std::uint32_t v) {
    bytes.append(reinterpret_cast<const char*>(&v), 4);
    return *this;
  }
  Writer& u64(std::uint64_t v) {
    bytes.append(reinterpret_cast<const char*>(&v), 8);
    return *this;
  }
  Writer& word(bool wide, std::uint64_t v) {
    return wide ? u64(v) : u32(static_cast<std::uint32_t>(v));
  }
  Writer& name16(std::string_view name) {
    std::string field(name);
    field.resize(16, '\0');
    bytes += field;
    return *this;
  }
  Writer& be32(std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>(v >> shift));
    return *this;
  }
};

struct SegmentInFile {
  std::string name;
  std::uint64_t vmaddr, vmsize, fileoff, filesize;
  std::vector<std::string> sections;  // each 4 bytes at the segment's start
};

// A thin dylib of `arch` with `segments` and the libraries it loads; `contents` follows the
// load commands.
// With `dyldInfo` (rebase, bind, weak bind, lazy bind and export bytes) an LC_DYLD_INFO_ONLY
// command points at them, after `contents`.
std::string machO(Arch arch, const std::vector<SegmentInFile>& segments,
                  const std::vector<std::string>& dylibs, std::size_t contents = 64,
                  const std::vector<std::string>& dyldInfo = {}) {
  const bool wide = emulator::is64Bit(arch);
  Writer commands;
  std::uint32_t count = 0;
  for (const SegmentInFile& segment : segments) {
    const std::uint32_t sectionSize = wide ? 80 : 68;
    commands.u32(wide ? 0x19 : 0x1)
        .u32((wide ? 72 : 56) + sectionSize * static_cast<std::uint32_t>(segment.sections.size()))
        .name16(segment.name)
        .word(wide, segment.vmaddr)
        .word(wide, segment.vmsize)
        .word(wide, segment.fileoff)
        .word(wide, segment.filesize)
        .u32(7)
        .u32(5)
        .u32(static_cast<std::uint32_t>(segment.sections.size()))
        .u32(0);
    for (const std::string& section : segment.sections) {
      commands.name16(section).name16(segment.name).word(wide, segment.vmaddr).word(wide, 4);
      commands.u32(static_cast<std::uint32_t>(segment.fileoff)).u32(2).u32(0).u32(0).u32(0);
      commands.u32(0).u32(0);
      if (wide) commands.u32(0);
    }
    ++count;
  }
  for (const std::string& dylib : dylibs) {
    std::string name = dylib;
    name.resize((dylib.size() + 8) / 8 * 8, '\0');
    commands.u32(0xc).u32(24 + static_cast<std::uint32_t>(name.size())).u32(24).u32(2).u32(0);
    commands.u32(0);
    commands.bytes += name;
    ++count;
  }
  std::string info;
  if (!dyldInfo.empty()) {
    const std::size_t header = wide ? 32 : 28;
    std::uint32_t offset =
        static_cast<std::uint32_t>(header + commands.bytes.size() + 48 + contents);
    commands.u32(0x80000022).u32(48);
    for (std::size_t i = 0; i < 5; ++i) {
      const std::string blob = i < dyldInfo.size() ? dyldInfo[i] : std::string();
      commands.u32(offset).u32(static_cast<std::uint32_t>(blob.size()));
      offset += static_cast<std::uint32_t>(blob.size());
      info += blob;
    }
    ++count;
  }
  Writer file;
  file.u32(wide ? 0xfeedfacf : 0xfeedface)
      .u32(wide ? 0x0100000c : 12)
      .u32(arch == Arch::arm64   ? 0
           : arch == Arch::armv7 ? 9
                                 : 11)
      .u32(6)
      .u32(count)
      .u32(static_cast<std::uint32_t>(commands.bytes.size()))
      .u32(0);
  if (wide) file.u32(0);
  file.bytes += commands.bytes;
  file.bytes.resize(file.bytes.size() + contents, '\x5a');
  return file.bytes + info;
}

std::string thin(Arch arch, std::string_view text = "__TEXT") {
  return machO(arch,
               {{"__PAGEZERO", 0, 0x4000, 0, 0, {}},
                {std::string(text), 0x4000, 0x8000, 0, 0x100, {"__text"}},
                {"__DATA", 0xc000, 0x4000, 0, 0, {}}},
               {"/usr/lib/libSystem.B.dylib",
                "/System/Library/Frameworks/Foundation.framework/"
                "Foundation"},
               0x100);
}

std::string fat(const std::vector<std::pair<std::uint32_t, std::string>>& slices) {
  Writer file;
  file.be32(0xcafebabe).be32(static_cast<std::uint32_t>(slices.size()));
  std::uint32_t offset = 8 + 20 * static_cast<std::uint32_t>(slices.size());
  std::string contents;
  for (const auto& [subtype, bytes] : slices) {
    file.be32(subtype == 0 ? 0x0100000c : 12).be32(subtype).be32(offset);
    file.be32(static_cast<std::uint32_t>(bytes.size())).be32(0);
    offset += static_cast<std::uint32_t>(bytes.size());
    contents += bytes;
  }
  return file.bytes + contents;
}

std::string refusal(std::string bytes, Arch arch) {
  auto parsed = emulator::MachOFile::parse(std::move(bytes), arch);
  if (auto* reason = std::get_if<std::string>(&parsed)) return *reason;
  return "(accepted)";
}

TEST(MachOFileTest, ReadsAThinFilesSegmentsSectionsAndLibraries) {
  for (Arch arch : {Arch::arm64, Arch::armv7}) {
    SCOPED_TRACE(std::string(emulator::archName(arch)));
    auto parsed = emulator::MachOFile::parse(thin(arch), arch);
    ASSERT_TRUE(std::holds_alternative<emulator::MachOFile>(parsed)) << refusal(thin(arch), arch);
    const auto& file = std::get<emulator::MachOFile>(parsed);
    EXPECT_EQ(file.pointerSize(), emulator::is64Bit(arch) ? 8u : 4u);
    ASSERT_EQ(file.segments().size(), 3u);
    EXPECT_EQ(file.segments()[1].name, "__TEXT");
    EXPECT_EQ(file.segments()[1].initprot, 5u);
    const emulator::Section* text = file.section("__TEXT", "__text");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->address, 0x4000u);
    EXPECT_EQ(file.contents(*text).size(), 4u);
    EXPECT_EQ(file.section("__DATA", "__text"), nullptr);
    ASSERT_EQ(file.dylibs().size(), 2u);
    EXPECT_EQ(file.dylibs()[0], "/usr/lib/libSystem.B.dylib");
    EXPECT_EQ(file.dylibs()[1], "/System/Library/Frameworks/Foundation.framework/Foundation");
    // __PAGEZERO does not count in the image.
    EXPECT_EQ(file.preferredBase(), 0x4000u);
    EXPECT_EQ(file.imageSize(), 0xc000u);
    EXPECT_TRUE(file.binds().empty());
    EXPECT_TRUE(file.rebases().empty());
    EXPECT_EQ(emulator::MachOFile::architectures(thin(arch)), std::vector<Arch>{arch});
  }
}

std::string opcodes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

emulator::MachOFile withDyldInfo(const std::vector<std::string>& dyldInfo) {
  auto parsed = emulator::MachOFile::parse(machO(Arch::arm64,
                                                 {{"__PAGEZERO", 0, 0x4000, 0, 0, {}},
                                                  {"__TEXT", 0x4000, 0x8000, 0, 0, {}},
                                                  {"__DATA", 0xc000, 0x4000, 0, 0, {}}},
                                                 {}, 16, dyldInfo),
                                           Arch::arm64);
  if (auto* reason = std::get_if<std::string>(&parsed)) ADD_FAILURE() << *reason;
  return std::get<emulator::MachOFile>(std::move(parsed));
}

TEST(MachOFileTest, DecodesRebaseOpcodes) {
  const auto file = withDyldInfo({opcodes({
      0x11,              // pointers
      0x22, 0x10,        // __DATA + 0x10
      0x52,              // twice
      0x30, 0x20,        // skip 0x20
      0x41,              // skip one pointer
      0x70, 0x08,        // once, then skip 8
      0x80, 0x02, 0x08,  // twice, skipping 8 each time
      0x00,              // done
      0x51,              // after done: ignored
  })});
  EXPECT_EQ(file.rebases(), (std::vector<Address>{0xc010, 0xc018, 0xc048, 0xc058, 0xc068}));
}

TEST(MachOFileTest, DecodesRegularWeakAndLazyBinds) {
  std::string bind = opcodes({0x11, 0x40}) + "_objc_msgSend" + opcodes({0, 0x51, 0x72, 0x00, 0x90});
  bind += opcodes({0x41}) + "_maybe" + opcodes({0, 0x60, 0x78, 0xb1});  // addend -8, weak import
  bind += opcodes({0x3f, 0x40}) + "_main" + opcodes({0, 0xc0, 0x02, 0x08, 0x00});
  const std::string weak = opcodes({0x72, 0x40, 0x40}) + "__ZdlPv" + opcodes({0, 0x90, 0x00});
  std::string lazy = opcodes({0x72, 0x30, 0x12, 0x40}) + "_lazy" + opcodes({0, 0x90, 0x00});
  lazy += opcodes({0x72, 0x38, 0x40}) + "_later" + opcodes({0, 0x90, 0x00});
  const auto file = withDyldInfo({"", bind, weak, lazy, ""});

  const std::vector<emulator::Bind> binds = file.binds();
  ASSERT_EQ(binds.size(), 7u);
  auto expect = [&](std::size_t i, std::string_view symbol, Address where, int ordinal,
                    std::int64_t addend, bool weakImport, emulator::Bind::Kind kind) {
    SCOPED_TRACE(i);
    EXPECT_EQ(binds[i].symbol, symbol);
    EXPECT_EQ(binds[i].where, where);
    EXPECT_EQ(binds[i].libraryOrdinal, ordinal);
    EXPECT_EQ(binds[i].addend, addend);
    EXPECT_EQ(binds[i].weakImport, weakImport);
    EXPECT_EQ(binds[i].kind, kind);
  };
  using Kind = emulator::Bind::Kind;
  expect(0, "_objc_msgSend", 0xc000, 1, 0, false, Kind::regular);
  expect(1, "_maybe", 0xc008, 1, -8, true, Kind::regular);
  expect(2, "_main", 0xc018, -1, -8, false, Kind::regular);
  expect(3, "_main", 0xc028, -1, -8, false, Kind::regular);
  // Lazy binds are separated by DONE; each carries its own ordinal.
  expect(4, "_lazy", 0xc030, 2, 0, false, Kind::lazy);
  expect(5, "_later", 0xc038, 2, 0, false, Kind::lazy);
  expect(6, "__ZdlPv", 0xc040, 0, 0, false, Kind::weak);
}

TEST(MachOFileTest, RepeatCountsStopAtTheEndOfTheSegment) {
  // 2^40 repeats in __DATA (0x4000 bytes: 0x800 pointers).
  const std::string huge = opcodes({0x80, 0x80, 0x80, 0x80, 0x80, 0x20});
  const auto rebased = withDyldInfo({opcodes({0x22, 0x00, 0x60}) + huge + opcodes({0x00})});
  const auto rebases = rebased.rebases();
  ASSERT_EQ(rebases.size(), 0x800u);
  EXPECT_EQ(rebases.back(), 0xfff8u);
  EXPECT_EQ(
      withDyldInfo({opcodes({0x22, 0x00, 0x80}) + huge + opcodes({0x08, 0x00})}).rebases().size(),
      0x400u);

  const auto bound = withDyldInfo(
      {"", opcodes({0x11, 0x40, '_', 'x', 0, 0x72, 0x00, 0xc0}) + huge + opcodes({0x00, 0x00})});
  EXPECT_EQ(bound.binds().size(), 0x800u);
}

TEST(MachOFileTest, WalksTheExportTrie) {
  const std::string trie =
      opcodes({0x00, 0x01, '_',  0,    5,                                     // root
               0x00, 0x02, 'f',  'o',  'o',  0,    17, 'b', 'a', 'r', 0, 23,  // _
               0x04, 0x00, 0x80, 0x80, 0x01, 0x00,                            // _foo
               0x02, 0x00, 0x10, 0x00});                                      // _bar
  const auto file = withDyldInfo({"", "", "", "", trie});
  const auto exports = file.exports();
  ASSERT_EQ(exports.size(), 2u);
  EXPECT_EQ(exports[0].name, "_foo");
  EXPECT_EQ(exports[0].address, 0x4000u);
  EXPECT_EQ(exports[1].name, "_bar");
  EXPECT_EQ(exports[1].address, 0x10u);

  // A trie whose child is itself, or lies past the end, ends without exports.
  EXPECT_TRUE(withDyldInfo({"", "", "", "", opcodes({0x00, 0x01, 'a', 0, 0})}).exports().empty());
  EXPECT_TRUE(
      withDyldInfo({"", "", "", "", opcodes({0x00, 0x01, 'a', 0, 0x7f})}).exports().empty());
  EXPECT_TRUE(withDyldInfo({"", "", "", "", opcodes({0x05, 0x00})}).exports().empty());
}

TEST(MachOFileTest, PicksTheSliceOfTheAskedArchitectureFromAFatFile) {
  const std::string both =
      fat({{9, thin(Arch::armv7, "__TEXT_V7")}, {0, thin(Arch::arm64, "__TEXT_64")}});
  EXPECT_EQ(emulator::MachOFile::architectures(both),
            (std::vector<Arch>{Arch::armv7, Arch::arm64}));
  auto arm64 = emulator::MachOFile::parse(both, Arch::arm64);
  ASSERT_TRUE(std::holds_alternative<emulator::MachOFile>(arm64));
  EXPECT_EQ(std::get<emulator::MachOFile>(arm64).segments()[1].name, "__TEXT_64");
  auto armv7 = emulator::MachOFile::parse(both, Arch::armv7);
  ASSERT_TRUE(std::holds_alternative<emulator::MachOFile>(armv7));
  EXPECT_EQ(std::get<emulator::MachOFile>(armv7).segments()[1].name, "__TEXT_V7");
  EXPECT_EQ(refusal(both, Arch::armv7s), "the fat file has no armv7s slice");

  // A slice that runs past the end of the file is not offered.
  std::string cut = both;
  cut.resize(cut.size() - 1);
  EXPECT_EQ(emulator::MachOFile::architectures(cut), std::vector<Arch>{Arch::armv7});
}

TEST(MachOFileTest, RefusesMalformedFilesWithAReason) {
  EXPECT_EQ(refusal("", Arch::arm64), "too short for a Mach-O header");
  EXPECT_EQ(refusal(std::string(64, 'x'), Arch::arm64), "not a Mach-O file");
  EXPECT_EQ(refusal(thin(Arch::arm64), Arch::armv7), "not an armv7 Mach-O file");
  EXPECT_EQ(refusal(thin(Arch::armv7), Arch::armv7s), "not an armv7s Mach-O file");
  EXPECT_TRUE(emulator::MachOFile::architectures(std::string(64, 'x')).empty());

  // A 32-bit header claiming an arm64 CPU.
  std::string narrow = thin(Arch::armv7);
  const std::uint32_t arm64 = 0x0100000c;
  std::memcpy(narrow.data() + 4, &arm64, 4);
  EXPECT_EQ(refusal(narrow, Arch::arm64), "the header's width does not fit the CPU");

  std::string cut = thin(Arch::arm64);
  cut.resize(40);
  EXPECT_EQ(refusal(cut, Arch::arm64), "load commands run past the end of the file");

  std::string tooMany = thin(Arch::arm64);
  const std::uint32_t commands = 6;
  std::memcpy(tooMany.data() + 16, &commands, 4);
  EXPECT_EQ(refusal(tooMany, Arch::arm64), "a load command runs past the commands");

  std::string tiny = thin(Arch::arm64);
  const std::uint32_t four = 4;
  std::memcpy(tiny.data() + 32 + 4, &four, 4);  // the first command's size
  EXPECT_EQ(refusal(tiny, Arch::arm64), "load command 0 is malformed");

  EXPECT_EQ(
      refusal(machO(Arch::arm64, {{"__TEXT", 0x4000, 0x4000, 0, 0x1000, {}}}, {}), Arch::arm64),
      "segment __TEXT runs past the end of the file");

  // A segment whose offset and size wrap around past 2^64 to land inside the file.
  EXPECT_EQ(refusal(machO(Arch::arm64,
                          {{"__TEXT", 0x4000, 0x4000, ~std::uint64_t{0} - 0xf, 0x20, {}}}, {}),
                    Arch::arm64),
            "segment __TEXT runs past the end of the file");

  std::string nameOutside = machO(Arch::arm64, {}, {"/usr/lib/libz.dylib"});
  const std::uint32_t offset = 0x100;
  std::memcpy(nameOutside.data() + 32 + 8, &offset, 4);
  EXPECT_EQ(refusal(nameOutside, Arch::arm64), "a library's name lies outside its command");
}

}  // namespace
