// A Mach-O slice as iOS's dyld reads it: segments and sections, the libraries it loads, its
// symbols and exports, and the classic dyld information (rebases, binds, lazy and weak binds).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "arch.h"

namespace emulator {

struct Segment {
  std::string name;
  Address vmaddr = 0;
  std::uint64_t vmsize = 0;
  std::uint64_t fileoff = 0;
  std::uint64_t filesize = 0;
  std::uint32_t initprot = 0;
};

struct Section {
  std::string segment;
  std::string name;
  Address address = 0;
  std::uint64_t size = 0;
  std::uint32_t offset = 0;
  std::uint32_t flags = 0;
  bool zeroFill() const { return (flags & 0xff) == 0x1 || (flags & 0xff) == 0xc; }
};

// One pointer-sized slot that dyld fills with an imported symbol's address (plus `addend`).
struct Bind {
  Address where = 0;  // unslid address of the slot
  std::string symbol;
  int libraryOrdinal = 0;  // 1-based into dylibs(); 0 self, -1 main executable, -2 flat
  std::int64_t addend = 0;
  bool weakImport = false;
  enum class Kind { regular, lazy, weak } kind = Kind::regular;
};

struct Export {
  std::string name;
  Address address = 0;  // unslid
  std::uint64_t flags = 0;
};

struct Symbol {
  std::string name;
  Address value = 0;
  std::uint8_t type = 0;
  std::uint8_t section = 0;
  std::uint16_t desc = 0;
  bool defined() const { return (type & 0x0e) == 0x0e; }
  bool external() const { return (type & 0x01) != 0; }
};

class MachOFile {
 public:
  // The slice of `arch` in `bytes` (a thin file of that architecture, or a fat file holding
  // it); the reason when there is none or it is malformed.
  static std::variant<MachOFile, std::string> parse(std::string bytes, Arch arch);
  // The architectures a file holds (empty when it is no Mach-O file).
  static std::vector<Arch> architectures(std::string_view bytes);

  Arch arch() const { return arch_; }
  unsigned pointerSize() const { return is64_ ? 8 : 4; }
  const std::vector<Segment>& segments() const { return segments_; }
  const std::vector<Section>& sections() const { return sections_; }
  const Section* section(std::string_view segment, std::string_view name) const;
  const std::vector<std::string>& dylibs() const { return dylibs_; }
  const std::vector<Symbol>& symbols() const { return symbols_; }
  // Bytes of the slice at file offset `offset`.
  std::span<const std::uint8_t> bytesAt(std::uint64_t offset, std::uint64_t size) const;
  // The contents of a section (empty for zero-fill sections).
  std::span<const std::uint8_t> contents(const Section& section) const;

  // Unslid addresses of the pointers that dyld slides.
  std::vector<Address> rebases() const;
  std::vector<Bind> binds() const;
  std::vector<Export> exports() const;
  // The lowest vmaddr of a segment with contents (the image's preferred base).
  Address preferredBase() const;
  // Total span of the segments, from preferredBase().
  std::uint64_t imageSize() const;

 private:
  std::string bytes_;  // the slice only
  Arch arch_ = Arch::arm64;
  bool is64_ = true;
  std::vector<Segment> segments_;
  std::vector<Section> sections_;
  std::vector<std::string> dylibs_;
  std::vector<Symbol> symbols_;
  std::span<const std::uint8_t> rebaseInfo_, bindInfo_, weakBindInfo_, lazyBindInfo_, exportInfo_;

  std::optional<std::string> load();
  void decodeBinds(std::span<const std::uint8_t> opcodes, Bind::Kind kind,
                   std::vector<Bind>* out) const;
};

}  // namespace emulator
