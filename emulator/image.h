// One binary loaded as iOS 7's dyld loads it: segments mapped, pointers slid, every import bound
// to a stand-in (lazy ones at load), the Objective-C metadata registered, then the initializers.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "frameworks.h"
#include "macho_file.h"

namespace emulator {

class Image {
 public:
  // Maps and binds `file` at `base`; faults naming every import no stand-in serves.
  Image(Machine& machine, Runtime& runtime, Imports& imports, const MachOFile& file,
        std::string name, Address base);

  const std::string& name() const { return name_; }
  Address base() const { return base_; }
  Address slide() const { return slide_; }
  bool contains(Address address) const { return address >= base_ && address < base_ + size_; }
  // Registers the binary's classes, categories and selectors with the runtime.
  void registerObjectiveC();
  // Runs the initializers in the order the binary lists them.
  void runInitializers();
  // The address of an exported symbol ("_increaseVolumeIfNeeded"), slid.
  std::optional<Address> exported(const std::string& symbol) const;
  // "Tonewell.dylib+0x1234 (symbol+0x10)".
  std::string symbolize(Address address) const;
  // A section's slid address and size (size 0 when absent).
  std::pair<Address, std::uint64_t> section(const std::string& segment,
                                            const std::string& name) const;
  const MachOFile& file() const { return file_; }
  // Stand-ins bound, for the report.
  std::size_t bindCount() const { return bindCount_; }

 private:
  void map();
  void rebase();
  void bind();
  void realizeClass(Address classAddress, std::map<Address, ClassInfo*>& done);
  void addMethods(ClassInfo& cls, Address list);

  Machine& machine_;
  Runtime& runtime_;
  Imports& imports_;
  const MachOFile& file_;
  std::string name_;
  Address base_;
  Address slide_;
  std::uint64_t size_;
  std::size_t bindCount_ = 0;
  std::map<Address, std::string> symbols_;  // slid address -> name
  std::map<std::string, Address> exports_;
};

}  // namespace emulator
