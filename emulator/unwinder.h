// Walks the emulated stack as the phone's unwinder does: with the binary's compact unwind
// information (__unwind_info) and, where that defers to it, its DWARF call frame information
// (__eh_frame). It finds each frame's personality and language-specific data.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "machine.h"

namespace emulator {

class Image;

// The callee-saved state of one frame: what the unwinder restores on the way up.
struct FrameState {
  std::array<std::uint64_t, 31> x{};  // x0-x28, fp (29), lr (30)
  std::uint64_t sp = 0;
  std::uint64_t pc = 0;              // the return address into this frame
  std::array<std::uint64_t, 8> d{};  // d8-d15
};

struct FrameInfo {
  Address functionStart = 0;
  Address personality = 0;  // the personality function (0: none)
  Address lsda = 0;         // the language-specific data (0: none)
};

class Unwinder {
 public:
  Unwinder(Machine& machine, std::function<const Image*(Address)> imageAt)
      : machine_(machine), imageAt_(std::move(imageAt)) {}

  // The state of the frame that called the native function running now.
  FrameState callerOfNative() const;
  // What the binary says of the function holding `pc` (a return address; looked up at pc - 1).
  std::optional<FrameInfo> info(Address pc) const;
  // Moves `state` to its caller; faults when the frame has no unwind information.
  void step(FrameState& state) const;
  // Puts `state`'s callee-saved registers into the CPU.
  void restore(const FrameState& state) const;

 private:
  struct Entry {
    Address functionStart = 0;
    std::uint32_t encoding = 0;
    Address personality = 0;
    Address lsda = 0;
  };
  std::optional<Entry> compactEntry(const Image& image, Address pc) const;
  void stepDwarf(FrameState& state, const Image& image, Address fde) const;
  std::optional<FrameInfo> dwarfInfo(const Image& image, Address fde) const;
  std::optional<Address> findFde(const Image& image, Address pc) const;

  Machine& machine_;
  std::function<const Image*(Address)> imageAt_;
};

}  // namespace emulator
