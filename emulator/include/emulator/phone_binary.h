// A phone binary (the monitor library or the Settings pane) running on an emulated CPU as a
// process of the simulated phone: loaded as the phone's dyld loads it, every import served by a
// stand-in of the system. What the binary does reaches the same simulated phone the native
// build uses; whatever the phone would not survive ends the run with a message saying what.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {
class PSListController;
}

namespace emulator {

class Process;

class PhoneBinary {
 public:
  // Loads the `architecture` slice ("arm64", "armv7", "armv7s") of the file at `path`: maps it,
  // binds its imports and registers its classes; none of its code has run yet. The reason when
  // it cannot (no such slice, an import no stand-in serves).
  static std::variant<std::unique_ptr<PhoneBinary>, std::string> load(
      const std::string& path, const std::string& architecture);
  // The architectures the file holds.
  static std::vector<std::string> architectures(const std::string& path);
  ~PhoneBinary();
  PhoneBinary(const PhoneBinary&) = delete;
  PhoneBinary& operator=(const PhoneBinary&) = delete;

  // Runs the binary's initializers, as loading it into a process does. False when the
  // emulation ended (see failure()).
  bool start();
  // Why the emulation ended, if it has: a fault of the binary's on the phone.
  const std::optional<std::string>& failure() const;
  // The bytes of an exported variable (its name without the leading underscore).
  std::optional<std::vector<std::uint8_t>> exportedBytes(const std::string& name,
                                                         std::size_t size) const;
  // Calls an exported C function without arguments, from the host; false when it faulted.
  bool callExported(const std::string& name);
  // Sends `selector` (no arguments) to a new instance of the binary's class `className`
  // ([[cls alloc] init] first); the result's description, or none when it faulted.
  std::optional<std::string> sendToNewInstance(const std::string& className,
                                               const std::vector<std::string>& selectors);
  // The Settings pane's root page, made from the binary's class `className` and handed to the
  // Settings application: a page of the simulated phone whose rows and actions are the binary's.
  // Null when the emulation ended (see failure()).
  std::shared_ptr<platform::PSListController> makeListController(const std::string& className,
                                                                 const std::string& bundlePath);
  const std::string& architecture() const;
  // The width of the binary's pointers: 8 for arm64, 4 for the 32-bit slices.
  std::size_t pointerSize() const;
  // Objects the binary made and has not freed (leak checks), and heap bytes in use.
  std::size_t liveObjects() const;
  // Instructions the emulated CPU can run per second are not measured here; for benchmarks:
  // the number of host-to-binary calls so far.
  std::uint64_t callsIntoBinary() const;

 private:
  explicit PhoneBinary(std::unique_ptr<Process> process);
  std::unique_ptr<Process> process_;
  std::string architecture_;
};

}  // namespace emulator
