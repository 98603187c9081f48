// The numbers and pointers of the phone's unwind and exception tables, read from emulated memory
// as the phone's unwinder reads them: a misread LEB128 or pointer sends an exception to the wrong
// landing pad, or past the right one.
#include "dwarf_reader.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using emulator::Address;
using emulator::Arch;
using emulator::DwarfReader;
using emulator::Machine;

constexpr Address kBase = 0x100000;

class DwarfReaderTest : public testing::TestWithParam<Arch> {
 protected:
  DwarfReaderTest() : machine_(GetParam()) { machine_.map(kBase, 0x1000); }

  DwarfReader at(Address offset, const std::vector<std::uint8_t>& bytes) {
    machine_.write(kBase + offset, bytes.data(), bytes.size());
    return DwarfReader(machine_, kBase + offset);
  }

  Machine machine_;
};

TEST_P(DwarfReaderTest, Leb128NumbersAsDwarfDefinesThem) {
  auto r = at(0, {0x02, 0x7f, 0x80, 0x01, 0xe5, 0x8e, 0x26, 0x7f, 0x80, 0x7f, 0xc0, 0xbb, 0x78});
  EXPECT_EQ(r.uleb(), 2u);
  EXPECT_EQ(r.uleb(), 127u);
  EXPECT_EQ(r.uleb(), 128u);
  EXPECT_EQ(r.uleb(), 624485u);
  EXPECT_EQ(r.sleb(), -1);
  EXPECT_EQ(r.sleb(), -128);
  EXPECT_EQ(r.sleb(), -123456);
  EXPECT_EQ(r.position(), kBase + 13);

  // The largest 64-bit values, then a number that never ends within 10 bytes.
  auto big = at(0x100, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01});
  EXPECT_EQ(big.uleb(), ~std::uint64_t{0});
  auto endless = at(0x200, std::vector<std::uint8_t>(16, 0x80));
  EXPECT_THROW(endless.uleb(), emulator::EmulationFault);
  auto endlessSigned = at(0x200, std::vector<std::uint8_t>(16, 0xff));
  EXPECT_THROW(endlessSigned.sleb(), emulator::EmulationFault);
}

TEST_P(DwarfReaderTest, PointersInTheirEncodings) {
  const bool wide = GetParam() == Arch::arm64;
  // Absolute, the architecture's pointer size.
  std::vector<std::uint8_t> pointer(wide ? 8 : 4, 0);
  pointer[0] = 0x34;
  pointer[1] = 0x12;
  EXPECT_EQ(at(0, pointer).encoded(0x00), 0x1234u);
  // udata4 and sdata4, relative to where they stand (pcrel): a negative offset goes back.
  EXPECT_EQ(at(0x10, {0x10, 0x00, 0x00, 0x00}).encoded(0x13), kBase + 0x20);
  EXPECT_EQ(at(0x30, {0xf0, 0xff, 0xff, 0xff}).encoded(0x1b), kBase + 0x20);
  // uleb128 and sdata2 relative to the function's start (funcrel).
  EXPECT_EQ(at(0x40, {0x85, 0x01}).encoded(0x41, 0x5000), 0x5085u);
  EXPECT_EQ(at(0x48, {0xfe, 0xff}).encoded(0x4a, 0x5000), 0x4ffeu);
  // Omitted: nothing is read.
  auto omitted = at(0x50, {0x01});
  EXPECT_EQ(omitted.encoded(DwarfReader::kOmit), 0u);
  EXPECT_EQ(omitted.position(), kBase + 0x50);
}

TEST_P(DwarfReaderTest, AnIndirectPointerIsLoadedAndANullOneStaysNull) {
  const bool wide = GetParam() == Arch::arm64;
  // The slot at 0x80 holds the type's address; the table holds the slot's, pc-relative.
  std::vector<std::uint8_t> slot(wide ? 8 : 4, 0);
  slot[0] = 0x78;
  slot[1] = 0x56;
  at(0x80, slot);
  EXPECT_EQ(at(0x70, {0x10, 0x00, 0x00, 0x00}).encoded(0x9b), 0x5678u);
  // catch (...): a null entry is neither relative nor loaded.
  auto null = at(0x90, {0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(null.encoded(0x9b), 0u);
  EXPECT_EQ(null.position(), kBase + 0x94);
}

TEST_P(DwarfReaderTest, EncodingsTheTablesNeverUseEndTheRunNamingThem) {
  auto r = at(0, {0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_THROW(r.encoded(0x05), emulator::EmulationFault);  // no such value format
  EXPECT_THROW(r.encoded(0x33), emulator::EmulationFault);  // relative to the data section
}

INSTANTIATE_TEST_SUITE_P(EachSlice, DwarfReaderTest,
                         testing::Values(Arch::arm64, Arch::armv7, Arch::armv7s),
                         [](const auto& param) {
                           return std::string(emulator::archName(param.param));
                         });

}  // namespace
