// One process of the simulated phone running a phone binary: the emulated CPU, the Objective-C
// runtime, the exception machinery, the system's stand-ins and the loaded image.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "exceptions.h"
#include "frameworks.h"
#include "image.h"
#include "machine.h"
#include "macho_file.h"
#include "objc_runtime.h"

namespace emulator {

class Process {
 public:
  explicit Process(Arch arch);
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Defines the system's stand-ins: what every phone binary may import.
  void defineSystem();
  // Loads `file` (its Objective-C metadata registered; no code run yet). Faults naming every
  // import no stand-in serves.
  void load(MachOFile file, std::string name);
  // Runs `work` as one call of the host into the binary, in an autorelease pool of its own; a
  // fault ends the emulation (runtime.failure()). False when it has ended.
  bool enter(const std::function<void()>& work);

  Machine machine;
  Runtime runtime;
  Exceptions exceptions;
  Imports imports;
  std::unique_ptr<MachOFile> file;
  std::unique_ptr<Image> image;
  std::uint64_t calls = 0;
};

}  // namespace emulator
