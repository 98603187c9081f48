// DWARF's encodings as the phone's unwind and exception tables use them: LEB128 numbers and
// pointers of the DW_EH_PE encodings, read from emulated memory.
#pragma once

#include <cstdint>
#include <string>

#include "machine.h"

namespace emulator {

// Reads DWARF-encoded values from emulated memory: the unwind tables and the exception tables.
class DwarfReader {
 public:
  static constexpr std::uint8_t kOmit = 0xff;      // no value
  static constexpr std::uint8_t kIndirect = 0x80;  // the value is where the pointer is

  DwarfReader(const Machine& m, Address at) : m_(m), at_(at) {}
  Address position() const { return at_; }
  void seek(Address at) { at_ = at; }
  std::uint8_t u8() { return m_.load<std::uint8_t>(at_++); }
  std::uint16_t u16() {
    const auto v = m_.load<std::uint16_t>(at_);
    at_ += 2;
    return v;
  }
  std::uint32_t u32() {
    const auto v = m_.load<std::uint32_t>(at_);
    at_ += 4;
    return v;
  }
  std::uint64_t u64() {
    const auto v = m_.load<std::uint64_t>(at_);
    at_ += 8;
    return v;
  }
  std::uint64_t uleb() {
    std::uint64_t result = 0;
    unsigned shift = 0;
    std::uint8_t byte;
    do {
      byte = u8();
      if (shift < 64) result |= std::uint64_t{byte & 0x7fu} << shift;
      shift += 7;
      if (shift > 70) m_.fault("a malformed LEB128 number in unwind or exception data");
    } while (byte & 0x80);
    return result;
  }
  std::int64_t sleb() {
    std::int64_t result = 0;
    unsigned shift = 0;
    std::uint8_t byte;
    do {
      byte = u8();
      if (shift < 64) result |= std::int64_t{byte & 0x7f} << shift;
      shift += 7;
      if (shift > 70) m_.fault("a malformed LEB128 number in unwind or exception data");
    } while (byte & 0x80);
    if (shift < 64 && (byte & 0x40)) result |= -(std::int64_t{1} << shift);
    return result;
  }
  std::string cstring() {
    std::string s = m_.readCString(at_, 256);
    at_ += s.size() + 1;
    return s;
  }
  // A pointer in `encoding`, relative to the reader's position for pc-relative ones.
  Address encoded(std::uint8_t encoding, Address functionBase = 0) {
    if (encoding == kOmit) return 0;
    const Address start = at_;
    std::uint64_t value = 0;
    switch (encoding & 0x0f) {
      case 0x00:
        value = m_.pointerSize() == 8 ? u64() : u32();
        break;
      case 0x01:
        value = uleb();
        break;
      case 0x02:
        value = u16();
        break;
      case 0x03:
        value = u32();
        break;
      case 0x04:
        value = u64();
        break;
      case 0x09:
        value = static_cast<std::uint64_t>(sleb());
        break;
      case 0x0a:
        value =
            static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int16_t>(u16())));
        break;
      case 0x0b:
        value =
            static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(u32())));
        break;
      case 0x0c:
        value = u64();
        break;
      default:
        m_.fault("an unwind pointer encoding 0x" + std::to_string(encoding) +
                 " that is not modelled");
    }
    switch (encoding & 0x70) {
      case 0x00:
        break;
      case 0x10:
        if (value) value += start;
        break;
      case 0x40:
        if (value) value += functionBase;
        break;
      default:
        m_.fault("an unwind pointer relative to a base that is not modelled");
    }
    if (value != 0 && (encoding & kIndirect)) value = m_.loadPointer(value);
    if (m_.pointerSize() == 4) value &= 0xffffffffu;
    return value;
  }

 private:
  const Machine& m_;
  Address at_;
};

}  // namespace emulator
