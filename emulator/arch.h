// The architectures the emulator runs and the width of their addresses.
#pragma once

#include <cstdint>
#include <string_view>

namespace emulator {

using Address = std::uint64_t;

enum class Arch { arm64, armv7, armv7s };

inline constexpr std::string_view archName(Arch arch) {
  switch (arch) {
    case Arch::arm64:
      return "arm64";
    case Arch::armv7:
      return "armv7";
    case Arch::armv7s:
      return "armv7s";
  }
  return "?";
}

inline constexpr bool is64Bit(Arch arch) {
  return arch == Arch::arm64;
}

}  // namespace emulator
