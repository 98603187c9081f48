#include "macho_file.h"

#include <cstring>
#include <functional>

#include "byte_reader.h"

namespace emulator {

namespace {

constexpr std::uint32_t kMagic32 = 0xfeedface;
constexpr std::uint32_t kMagic64 = 0xfeedfacf;
constexpr std::uint32_t kFatMagic = 0xcafebabe;  // stored big-endian

constexpr std::int32_t kCpuTypeArm = 12;
constexpr std::int32_t kCpuTypeArm64 = 0x0100000c;
constexpr std::int32_t kCpuSubtypeArmV7 = 9;
constexpr std::int32_t kCpuSubtypeArmV7s = 11;

constexpr std::uint32_t LC_SEGMENT = 0x1;
constexpr std::uint32_t LC_SYMTAB = 0x2;
constexpr std::uint32_t LC_LOAD_DYLIB = 0xc;
constexpr std::uint32_t LC_LOAD_WEAK_DYLIB = 0x80000018;
constexpr std::uint32_t LC_REEXPORT_DYLIB = 0x8000001f;
constexpr std::uint32_t LC_LAZY_LOAD_DYLIB = 0x20;
constexpr std::uint32_t LC_UPWARD_DYLIB = 0x80000023;
constexpr std::uint32_t LC_SEGMENT_64 = 0x19;
constexpr std::uint32_t LC_DYLD_INFO = 0x22;
constexpr std::uint32_t LC_DYLD_INFO_ONLY = 0x80000022;

bool matches(std::int32_t cputype, std::int32_t subtype, Arch arch) {
  subtype &= 0x00ffffff;
  switch (arch) {
    case Arch::arm64:
      return cputype == kCpuTypeArm64;
    case Arch::armv7:
      return cputype == kCpuTypeArm && subtype == kCpuSubtypeArmV7;
    case Arch::armv7s:
      return cputype == kCpuTypeArm && subtype == kCpuSubtypeArmV7s;
  }
  return false;
}

std::optional<Arch> archOf(std::int32_t cputype, std::int32_t subtype) {
  for (Arch arch : {Arch::arm64, Arch::armv7, Arch::armv7s}) {
    if (matches(cputype, subtype, arch)) return arch;
  }
  return std::nullopt;
}

std::uint32_t bigEndian32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}

struct FatSlice {
  Arch arch;
  std::uint32_t offset;
  std::uint32_t size;
};

std::vector<FatSlice> fatSlices(std::string_view bytes) {
  std::vector<FatSlice> slices;
  if (bytes.size() < 8) return slices;
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  if (bigEndian32(p) != kFatMagic) return slices;
  const std::uint32_t count = bigEndian32(p + 4);
  for (std::uint32_t i = 0; i < count && 8 + (i + 1) * 20 <= bytes.size(); ++i) {
    const std::uint8_t* entry = p + 8 + i * 20;
    auto arch = archOf(static_cast<std::int32_t>(bigEndian32(entry)),
                       static_cast<std::int32_t>(bigEndian32(entry + 4)));
    const std::uint32_t offset = bigEndian32(entry + 8);
    const std::uint32_t size = bigEndian32(entry + 12);
    if (arch && std::uint64_t{offset} + size <= bytes.size())
      slices.push_back({*arch, offset, size});
  }
  return slices;
}

std::string fixedName(const std::uint8_t* p) {
  std::size_t n = 0;
  while (n < 16 && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

std::vector<Arch> MachOFile::architectures(std::string_view bytes) {
  std::vector<Arch> out;
  for (const FatSlice& slice : fatSlices(bytes)) out.push_back(slice.arch);
  if (!out.empty() || bytes.size() < 12) return out;
  ByteReader r(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  const std::uint32_t magic = r.u32(0);
  if (magic != kMagic32 && magic != kMagic64) return out;
  if (auto arch = archOf(static_cast<std::int32_t>(r.u32(4)), static_cast<std::int32_t>(r.u32(8))))
    out.push_back(*arch);
  return out;
}

std::variant<MachOFile, std::string> MachOFile::parse(std::string bytes, Arch arch) {
  MachOFile file;
  file.arch_ = arch;
  const auto slices = fatSlices(bytes);
  if (!slices.empty()) {
    const FatSlice* found = nullptr;
    for (const FatSlice& slice : slices) {
      if (slice.arch == arch) found = &slice;
    }
    if (found == nullptr) {
      return "the fat file has no " + std::string(archName(arch)) + " slice";
    }
    file.bytes_ = bytes.substr(found->offset, found->size);
  } else {
    file.bytes_ = std::move(bytes);
  }
  if (auto failure = file.load()) return *failure;
  return file;
}

std::optional<std::string> MachOFile::load() {
  ByteReader r(reinterpret_cast<const std::uint8_t*>(bytes_.data()), bytes_.size());
  if (bytes_.size() < 28) return std::string("too short for a Mach-O header");
  const std::uint32_t magic = r.u32(0);
  if (magic != kMagic32 && magic != kMagic64) return std::string("not a Mach-O file");
  is64_ = magic == kMagic64;
  if (!matches(static_cast<std::int32_t>(r.u32(4)), static_cast<std::int32_t>(r.u32(8)), arch_)) {
    return "not an " + std::string(archName(arch_)) + " Mach-O file";
  }
  if (is64_ != is64Bit(arch_)) return std::string("the header's width does not fit the CPU");
  const std::uint32_t commands = r.u32(16);
  const std::uint32_t commandBytes = r.u32(20);
  std::uint64_t at = is64_ ? 32 : 28;
  const std::uint64_t end = at + commandBytes;
  if (end > bytes_.size()) return std::string("load commands run past the end of the file");
  std::uint32_t symoff = 0, nsyms = 0, stroff = 0, strsize = 0;
  for (std::uint32_t i = 0; i < commands; ++i) {
    if (at + 8 > end) return std::string("a load command runs past the commands");
    const std::uint32_t cmd = r.u32(at);
    const std::uint32_t size = r.u32(at + 4);
    if (size < 8 || at + size > end) return "load command " + std::to_string(i) + " is malformed";
    if (cmd == LC_SEGMENT_64 || cmd == LC_SEGMENT) {
      const bool wide = cmd == LC_SEGMENT_64;
      Segment segment;
      segment.name = fixedName(r.at(at + 8));
      std::uint64_t p = at + 24;
      auto word = [&] {
        const std::uint64_t v = wide ? r.u64(p) : r.u32(p);
        p += wide ? 8 : 4;
        return v;
      };
      segment.vmaddr = word();
      segment.vmsize = word();
      segment.fileoff = word();
      segment.filesize = word();
      p += 4;  // maxprot
      segment.initprot = r.u32(p);
      p += 4;
      const std::uint32_t nsects = r.u32(p);
      p += 8;  // nsects, flags
      if (segment.fileoff > bytes_.size() || segment.filesize > bytes_.size() - segment.fileoff) {
        return "segment " + segment.name + " runs past the end of the file";
      }
      for (std::uint32_t s = 0; s < nsects; ++s) {
        Section section;
        section.name = fixedName(r.at(p));
        section.segment = fixedName(r.at(p + 16));
        p += 32;
        section.address = word();
        section.size = word();
        section.offset = r.u32(p);
        section.flags = r.u32(p + 16);
        // offset, align, reloff, nreloc, flags, reserved1, reserved2 (and reserved3 when wide).
        p += wide ? 32 : 28;
        sections_.push_back(std::move(section));
      }
      segments_.push_back(std::move(segment));
    } else if (cmd == LC_LOAD_DYLIB || cmd == LC_LOAD_WEAK_DYLIB || cmd == LC_REEXPORT_DYLIB ||
               cmd == LC_LAZY_LOAD_DYLIB || cmd == LC_UPWARD_DYLIB) {
      const std::uint32_t nameOffset = r.u32(at + 8);
      if (nameOffset >= size) return std::string("a library's name lies outside its command");
      const char* name = reinterpret_cast<const char*>(r.at(at + nameOffset));
      dylibs_.emplace_back(name, strnlen(name, size - nameOffset));
    } else if (cmd == LC_SYMTAB) {
      symoff = r.u32(at + 8);
      nsyms = r.u32(at + 12);
      stroff = r.u32(at + 16);
      strsize = r.u32(at + 20);
    } else if (cmd == LC_DYLD_INFO || cmd == LC_DYLD_INFO_ONLY) {
      auto span = [&](std::uint64_t field) -> std::span<const std::uint8_t> {
        const std::uint32_t off = r.u32(at + field);
        const std::uint32_t len = r.u32(at + field + 4);
        if (len == 0 || std::uint64_t{off} + len > bytes_.size()) return {};
        return {r.at(off), len};
      };
      rebaseInfo_ = span(8);
      bindInfo_ = span(16);
      weakBindInfo_ = span(24);
      lazyBindInfo_ = span(32);
      exportInfo_ = span(40);
    }
    at += size;
  }
  const std::uint32_t entrySize = is64_ ? 16 : 12;
  if (std::uint64_t{symoff} + std::uint64_t{nsyms} * entrySize <= bytes_.size() &&
      std::uint64_t{stroff} + strsize <= bytes_.size()) {
    for (std::uint32_t i = 0; i < nsyms; ++i) {
      const std::uint64_t e = symoff + std::uint64_t{i} * entrySize;
      Symbol symbol;
      const std::uint32_t strx = r.u32(e);
      if (strx < strsize) {
        const char* name = reinterpret_cast<const char*>(r.at(stroff + strx));
        symbol.name.assign(name, strnlen(name, strsize - strx));
      }
      symbol.type = r.u8(e + 4);
      symbol.section = r.u8(e + 5);
      symbol.desc = r.u16(e + 6);
      symbol.value = is64_ ? r.u64(e + 8) : r.u32(e + 8);
      symbols_.push_back(std::move(symbol));
    }
  }
  return std::nullopt;
}

const Section* MachOFile::section(std::string_view segment, std::string_view name) const {
  for (const Section& s : sections_) {
    if (s.segment == segment && s.name == name) return &s;
  }
  return nullptr;
}

std::span<const std::uint8_t> MachOFile::bytesAt(std::uint64_t offset, std::uint64_t size) const {
  if (offset > bytes_.size() || size > bytes_.size() - offset) return {};
  return {reinterpret_cast<const std::uint8_t*>(bytes_.data()) + offset, size};
}

std::span<const std::uint8_t> MachOFile::contents(const Section& section) const {
  if (section.zeroFill()) return {};
  return bytesAt(section.offset, section.size);
}

Address MachOFile::preferredBase() const {
  Address base = ~Address{0};
  for (const Segment& s : segments_) {
    if (s.name != "__PAGEZERO" && s.vmsize > 0 && s.vmaddr < base) base = s.vmaddr;
  }
  return base == ~Address{0} ? 0 : base;
}

std::uint64_t MachOFile::imageSize() const {
  Address top = 0;
  for (const Segment& s : segments_) {
    if (s.name != "__PAGEZERO") top = std::max(top, s.vmaddr + s.vmsize);
  }
  return top - preferredBase();
}

std::vector<Address> MachOFile::rebases() const {
  std::vector<Address> out;
  ByteStream in(rebaseInfo_);
  std::size_t segment = 0;
  Address address = 0;
  const unsigned ptr = pointerSize();
  auto segmentBase = [&](std::size_t index) {
    return index < segments_.size() ? segments_[index].vmaddr : 0;
  };
  // A repeat count no segment could hold ends at the segment's end, as dyld refuses it there.
  auto inSegment = [&](Address at) {
    return segment < segments_.size() && at < segments_[segment].vmaddr + segments_[segment].vmsize;
  };
  while (!in.atEnd()) {
    const std::uint8_t byte = in.u8();
    const std::uint8_t immediate = byte & 0x0f;
    switch (byte & 0xf0) {
      case 0x00:  // DONE
        return out;
      case 0x10:  // SET_TYPE_IMM
        break;
      case 0x20:  // SET_SEGMENT_AND_OFFSET_ULEB
        segment = immediate;
        address = segmentBase(segment) + in.uleb();
        break;
      case 0x30:  // ADD_ADDR_ULEB
        address += in.uleb();
        break;
      case 0x40:  // ADD_ADDR_IMM_SCALED
        address += immediate * ptr;
        break;
      case 0x50:  // DO_REBASE_IMM_TIMES
        for (unsigned i = 0; i < immediate; ++i, address += ptr) out.push_back(address);
        break;
      case 0x60: {  // DO_REBASE_ULEB_TIMES
        const std::uint64_t count = in.uleb();
        for (std::uint64_t i = 0; i < count && !in.failed() && inSegment(address);
             ++i, address += ptr)
          out.push_back(address);
        break;
      }
      case 0x70:  // DO_REBASE_ADD_ADDR_ULEB
        out.push_back(address);
        address += ptr + in.uleb();
        break;
      case 0x80: {  // DO_REBASE_ULEB_TIMES_SKIPPING_ULEB
        const std::uint64_t count = in.uleb();
        const std::uint64_t skip = in.uleb();
        for (std::uint64_t i = 0; i < count && !in.failed() && inSegment(address); ++i) {
          out.push_back(address);
          address += ptr + skip;
        }
        break;
      }
      default:
        return out;
    }
    if (in.failed()) break;
  }
  return out;
}

void MachOFile::decodeBinds(std::span<const std::uint8_t> opcodes, Bind::Kind kind,
                            std::vector<Bind>* out) const {
  ByteStream in(opcodes);
  Bind current;
  current.kind = kind;
  const unsigned ptr = pointerSize();
  auto segmentBase = [&](std::size_t index) {
    return index < segments_.size() ? segments_[index].vmaddr : 0;
  };
  auto emit = [&] { out->push_back(current); };
  std::size_t segment = 0;
  auto inSegment = [&](Address at) {
    return segment < segments_.size() && at < segments_[segment].vmaddr + segments_[segment].vmsize;
  };
  while (!in.atEnd() && !in.failed()) {
    const std::uint8_t byte = in.u8();
    const std::uint8_t immediate = byte & 0x0f;
    switch (byte & 0xf0) {
      case 0x00:  // DONE (lazy binds use it between entries)
        if (kind != Bind::Kind::lazy) return;
        break;
      case 0x10:  // SET_DYLIB_ORDINAL_IMM
        current.libraryOrdinal = immediate;
        break;
      case 0x20:  // SET_DYLIB_ORDINAL_ULEB
        current.libraryOrdinal = static_cast<int>(in.uleb());
        break;
      case 0x30:  // SET_DYLIB_SPECIAL_IMM
        current.libraryOrdinal = immediate == 0 ? 0 : static_cast<std::int8_t>(0xf0 | immediate);
        break;
      case 0x40:  // SET_SYMBOL_TRAILING_FLAGS_IMM
        current.symbol = in.cstring();
        current.weakImport = (immediate & 0x1) != 0;
        break;
      case 0x50:  // SET_TYPE_IMM
        break;
      case 0x60:  // SET_ADDEND_SLEB
        current.addend = in.sleb();
        break;
      case 0x70:  // SET_SEGMENT_AND_OFFSET_ULEB
        segment = immediate;
        current.where = segmentBase(immediate) + in.uleb();
        break;
      case 0x80:  // ADD_ADDR_ULEB
        current.where += in.uleb();
        break;
      case 0x90:  // DO_BIND
        emit();
        current.where += ptr;
        break;
      case 0xa0:  // DO_BIND_ADD_ADDR_ULEB
        emit();
        current.where += ptr + in.uleb();
        break;
      case 0xb0:  // DO_BIND_ADD_ADDR_IMM_SCALED
        emit();
        current.where += ptr + immediate * ptr;
        break;
      case 0xc0: {  // DO_BIND_ULEB_TIMES_SKIPPING_ULEB
        const std::uint64_t count = in.uleb();
        const std::uint64_t skip = in.uleb();
        for (std::uint64_t i = 0; i < count && !in.failed() && inSegment(current.where); ++i) {
          emit();
          current.where += ptr + skip;
        }
        break;
      }
      default:
        return;
    }
  }
}

std::vector<Bind> MachOFile::binds() const {
  std::vector<Bind> out;
  decodeBinds(bindInfo_, Bind::Kind::regular, &out);
  decodeBinds(lazyBindInfo_, Bind::Kind::lazy, &out);
  decodeBinds(weakBindInfo_, Bind::Kind::weak, &out);
  return out;
}

std::vector<Export> MachOFile::exports() const {
  std::vector<Export> out;
  if (exportInfo_.empty()) return out;
  // Walks the trie depth first; the depth bound keeps a malformed trie from looping.
  std::function<void(std::uint64_t, std::string, int)> walk = [&](std::uint64_t offset,
                                                                  std::string prefix, int depth) {
    if (offset >= exportInfo_.size() || depth > 256) return;
    ByteStream in(exportInfo_.subspan(offset));
    const std::uint64_t terminalSize = in.uleb();
    if (terminalSize > 0) {
      ByteStream terminal(exportInfo_.subspan(offset + in.position()));
      const std::uint64_t flags = terminal.uleb();
      const std::uint64_t address = terminal.uleb();
      if (!terminal.failed()) out.push_back({prefix, address, flags});
    }
    in.skip(terminalSize);
    const std::uint8_t children = in.failed() ? 0 : in.u8();
    for (std::uint8_t i = 0; i < children && !in.failed(); ++i) {
      std::string edge = in.cstring();
      const std::uint64_t child = in.uleb();
      if (!in.failed()) walk(child, prefix + edge, depth + 1);
    }
  };
  walk(0, "", 0);
  return out;
}

}  // namespace emulator
