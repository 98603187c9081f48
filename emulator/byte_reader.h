// Little-endian reads from a byte buffer, bounds-checked: a read past the end gives 0 (and a
// stream remembers that it failed), so a malformed file can never read outside its bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace emulator {

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t u8(std::uint64_t at) const { return at < size_ ? data_[at] : 0; }
  std::uint16_t u16(std::uint64_t at) const { return read<std::uint16_t>(at); }
  std::uint32_t u32(std::uint64_t at) const { return read<std::uint32_t>(at); }
  std::uint64_t u64(std::uint64_t at) const { return read<std::uint64_t>(at); }
  // The bytes from `at` on (callers check sizes before using more than they were given).
  const std::uint8_t* at(std::uint64_t offset) const {
    static const std::uint8_t zeros[64] = {};
    return offset < size_ ? data_ + offset : zeros;
  }

 private:
  template <typename T>
  T read(std::uint64_t at) const {
    T v{};
    if (at <= size_ && sizeof(T) <= size_ - at) std::memcpy(&v, data_ + at, sizeof(T));
    return v;
  }
  const std::uint8_t* data_;
  std::size_t size_;
};

class ByteStream {
 public:
  explicit ByteStream(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool atEnd() const { return pos_ >= bytes_.size(); }
  bool failed() const { return failed_; }
  std::size_t position() const { return pos_; }
  void skip(std::uint64_t n) {
    if (n > bytes_.size() - std::min(pos_, bytes_.size())) {
      failed_ = true;
      pos_ = bytes_.size();
    } else {
      pos_ += n;
    }
  }
  std::uint8_t u8() {
    if (pos_ >= bytes_.size()) {
      failed_ = true;
      return 0;
    }
    return bytes_[pos_++];
  }
  std::uint64_t uleb() {
    std::uint64_t result = 0;
    unsigned shift = 0;
    while (true) {
      const std::uint8_t byte = u8();
      if (failed_) return 0;
      if (shift < 64) result |= std::uint64_t{byte & 0x7fu} << shift;
      shift += 7;
      if ((byte & 0x80) == 0) return result;
      if (shift > 70) {
        failed_ = true;
        return 0;
      }
    }
  }
  std::int64_t sleb() {
    std::int64_t result = 0;
    unsigned shift = 0;
    std::uint8_t byte = 0;
    do {
      byte = u8();
      if (failed_) return 0;
      if (shift < 64) result |= std::int64_t{byte & 0x7f} << shift;
      shift += 7;
      if (shift > 70) {
        failed_ = true;
        return 0;
      }
    } while (byte & 0x80);
    if (shift < 64 && (byte & 0x40)) result |= -(std::int64_t{1} << shift);
    return result;
  }
  std::string cstring() {
    std::string out;
    while (true) {
      const std::uint8_t c = u8();
      if (failed_ || c == 0) return out;
      out.push_back(static_cast<char>(c));
    }
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

}  // namespace emulator
