#include "unwinder.h"

#include <unicorn/unicorn.h>

#include <vector>

#include "dwarf_reader.h"
#include "image.h"

namespace emulator {

namespace {

constexpr std::uint32_t kModeMask = 0x0f000000;
constexpr std::uint32_t kModeFrameless = 0x02000000;
constexpr std::uint32_t kModeDwarf = 0x03000000;
constexpr std::uint32_t kModeFrame = 0x04000000;
constexpr std::uint32_t kHasLsda = 0x40000000;
constexpr std::uint32_t kPersonalityMask = 0x30000000;

int xRegister(unsigned n) {
  if (n <= 28) return UC_ARM64_REG_X0 + static_cast<int>(n);
  return n == 29 ? UC_ARM64_REG_X29 : UC_ARM64_REG_X30;
}

}  // namespace

FrameState Unwinder::callerOfNative() const {
  FrameState s;
  for (unsigned i = 0; i <= 30; ++i) s.x[i] = machine_.reg(xRegister(i));
  s.sp = machine_.reg(UC_ARM64_REG_SP);
  s.pc = machine_.reg(UC_ARM64_REG_LR);
  for (unsigned i = 0; i < 8; ++i) s.d[i] = machine_.reg(UC_ARM64_REG_D8 + static_cast<int>(i));
  return s;
}

void Unwinder::restore(const FrameState& s) const {
  for (unsigned i = 19; i <= 30; ++i) machine_.setReg(xRegister(i), s.x[i]);
  machine_.setReg(UC_ARM64_REG_SP, s.sp);
  for (unsigned i = 0; i < 8; ++i) machine_.setReg(UC_ARM64_REG_D8 + static_cast<int>(i), s.d[i]);
}

std::optional<Unwinder::Entry> Unwinder::compactEntry(const Image& image, Address pc) const {
  auto [info, size] = image.section("__TEXT", "__unwind_info");
  if (size == 0) return std::nullopt;
  DwarfReader r(machine_, info);
  const Address base = image.base();
  const std::uint32_t offset = static_cast<std::uint32_t>(pc - base);
  r.seek(info + 4);
  const std::uint32_t commonOffset = r.u32();
  const std::uint32_t commonCount = r.u32();
  const std::uint32_t personalityOffset = r.u32();
  const std::uint32_t personalityCount = r.u32();
  const std::uint32_t indexOffset = r.u32();
  const std::uint32_t indexCount = r.u32();
  if (indexCount < 2) return std::nullopt;
  // The first-level index: the last entry is a sentinel marking the end.
  std::uint32_t lo = 0, hi = indexCount - 1;
  auto indexFunction = [&](std::uint32_t i) {
    return machine_.load<std::uint32_t>(info + indexOffset + i * 12);
  };
  if (offset < indexFunction(0) || offset >= indexFunction(indexCount - 1)) return std::nullopt;
  while (hi - lo > 1) {
    const std::uint32_t mid = (lo + hi) / 2;
    if (indexFunction(mid) <= offset)
      lo = mid;
    else
      hi = mid;
  }
  const Address indexEntry = info + indexOffset + lo * 12;
  const std::uint32_t firstFunction = machine_.load<std::uint32_t>(indexEntry);
  const std::uint32_t pageOffset = machine_.load<std::uint32_t>(indexEntry + 4);
  const std::uint32_t lsdaStart = machine_.load<std::uint32_t>(indexEntry + 8);
  const std::uint32_t lsdaEnd = machine_.load<std::uint32_t>(indexEntry + 12 + 8);
  if (pageOffset == 0) return std::nullopt;
  const Address page = info + pageOffset;
  const std::uint32_t kind = machine_.load<std::uint32_t>(page);
  Entry entry;
  if (kind == 2) {  // regular: (function offset, encoding) pairs
    const std::uint16_t entriesOffset = machine_.load<std::uint16_t>(page + 4);
    const std::uint16_t count = machine_.load<std::uint16_t>(page + 6);
    std::int64_t found = -1;
    for (std::uint16_t i = 0; i < count; ++i) {
      if (machine_.load<std::uint32_t>(page + entriesOffset + i * 8) <= offset)
        found = i;
      else
        break;
    }
    if (found < 0) return std::nullopt;
    entry.functionStart = base + machine_.load<std::uint32_t>(page + entriesOffset + found * 8);
    entry.encoding = machine_.load<std::uint32_t>(page + entriesOffset + found * 8 + 4);
  } else if (kind == 3) {  // compressed: 24-bit offsets from the index entry, 8-bit encodings
    const std::uint16_t entriesOffset = machine_.load<std::uint16_t>(page + 4);
    const std::uint16_t count = machine_.load<std::uint16_t>(page + 6);
    const std::uint16_t encodingsOffset = machine_.load<std::uint16_t>(page + 8);
    std::int64_t found = -1;
    for (std::uint16_t i = 0; i < count; ++i) {
      const std::uint32_t e = machine_.load<std::uint32_t>(page + entriesOffset + i * 4);
      if (firstFunction + (e & 0xffffff) <= offset)
        found = i;
      else
        break;
    }
    if (found < 0) return std::nullopt;
    const std::uint32_t e = machine_.load<std::uint32_t>(page + entriesOffset + found * 4);
    entry.functionStart = base + firstFunction + (e & 0xffffff);
    const std::uint32_t encodingIndex = e >> 24;
    entry.encoding = encodingIndex < commonCount
                         ? machine_.load<std::uint32_t>(info + commonOffset + encodingIndex * 4)
                         : machine_.load<std::uint32_t>(page + encodingsOffset +
                                                        (encodingIndex - commonCount) * 4);
  } else {
    machine_.fault("an __unwind_info page of kind " + std::to_string(kind));
  }
  const std::uint32_t personalityIndex = (entry.encoding & kPersonalityMask) >> 28;
  if (personalityIndex > 0 && personalityIndex <= personalityCount) {
    const std::uint32_t slot =
        machine_.load<std::uint32_t>(info + personalityOffset + (personalityIndex - 1) * 4);
    entry.personality = machine_.loadPointer(base + slot);
  }
  if (entry.encoding & kHasLsda) {
    const std::uint32_t function = static_cast<std::uint32_t>(entry.functionStart - base);
    for (std::uint32_t at = lsdaStart; at < lsdaEnd; at += 8) {
      if (machine_.load<std::uint32_t>(info + at) == function) {
        entry.lsda = base + machine_.load<std::uint32_t>(info + at + 4);
        break;
      }
    }
  }
  return entry;
}

std::optional<Address> Unwinder::findFde(const Image& image, Address pc) const {
  auto [frames, size] = image.section("__TEXT", "__eh_frame");
  Address at = frames;
  while (at < frames + size) {
    DwarfReader r(machine_, at);
    const std::uint32_t length = r.u32();
    if (length == 0 || length == 0xffffffff) break;
    const Address next = at + 4 + length;
    const Address idField = r.position();
    const std::uint32_t cieOffset = r.u32();
    if (cieOffset != 0) {
      // The FDE's range: its first pointer uses the CIE's encoding.
      const Address cieAddress = idField - cieOffset;
      DwarfReader c(machine_, cieAddress + 8);
      c.u8();  // version
      const std::string augmentation = c.cstring();
      c.uleb();
      c.sleb();
      c.uleb();
      std::uint8_t pointerEncoding = 0;
      if (!augmentation.empty() && augmentation[0] == 'z') {
        c.uleb();
        for (std::size_t i = 1; i < augmentation.size(); ++i) {
          if (augmentation[i] == 'R')
            pointerEncoding = c.u8();
          else if (augmentation[i] == 'P')
            c.encoded(c.u8());
          else if (augmentation[i] == 'L')
            c.u8();
        }
      }
      const Address start = r.encoded(pointerEncoding);
      const Address range = r.encoded(pointerEncoding & 0x0f);
      if (pc >= start && pc < start + range) return at;
    }
    at = next;
  }
  return std::nullopt;
}

std::optional<FrameInfo> Unwinder::dwarfInfo(const Image&, Address fde) const {
  DwarfReader r(machine_, fde);
  const std::uint32_t length = r.u32();
  if (length == 0) return std::nullopt;
  const Address idField = r.position();
  const std::uint32_t cieOffset = r.u32();
  if (cieOffset == 0) return std::nullopt;  // a CIE
  DwarfReader c(machine_, idField - cieOffset + 8);
  c.u8();
  const std::string augmentation = c.cstring();
  c.uleb();
  c.sleb();
  c.uleb();
  std::uint8_t pointerEncoding = 0, lsdaEncoding = DwarfReader::kOmit;
  Address personality = 0;
  if (!augmentation.empty() && augmentation[0] == 'z') {
    c.uleb();
    for (std::size_t i = 1; i < augmentation.size(); ++i) {
      if (augmentation[i] == 'R')
        pointerEncoding = c.u8();
      else if (augmentation[i] == 'P')
        personality = c.encoded(c.u8());
      else if (augmentation[i] == 'L')
        lsdaEncoding = c.u8();
    }
  }
  FrameInfo info;
  info.functionStart = r.encoded(pointerEncoding);
  r.encoded(pointerEncoding & 0x0f);
  info.personality = personality;
  if (!augmentation.empty() && augmentation[0] == 'z') {
    r.uleb();
    info.lsda = r.encoded(lsdaEncoding);
  }
  return info;
}

std::optional<FrameInfo> Unwinder::info(Address pc) const {
  const Image* image = imageAt_(pc - 1);
  if (image == nullptr) return std::nullopt;
  auto entry = compactEntry(*image, pc - 1);
  if (entry && (entry->encoding & kModeMask) == kModeDwarf) {
    auto [frames, size] = image->section("__TEXT", "__eh_frame");
    (void)size;
    return dwarfInfo(*image, frames + (entry->encoding & 0x00ffffff));
  }
  if (entry) return FrameInfo{entry->functionStart, entry->personality, entry->lsda};
  if (auto fde = findFde(*image, pc - 1)) return dwarfInfo(*image, *fde);
  return std::nullopt;
}

void Unwinder::step(FrameState& s) const {
  const Image* image = imageAt_(s.pc - 1);
  if (image == nullptr) {
    machine_.fault("an exception unwinds through " + Machine::hex(s.pc) +
                   ", which is in no binary");
  }
  auto entry = compactEntry(*image, s.pc - 1);
  if (!entry || (entry->encoding & kModeMask) == kModeDwarf) {
    std::optional<Address> fde;
    if (entry) {
      auto [frames, size] = image->section("__TEXT", "__eh_frame");
      (void)size;
      fde = frames + (entry->encoding & 0x00ffffff);
    } else {
      fde = findFde(*image, s.pc - 1);
    }
    if (!fde) {
      machine_.fault("no unwind information for " + image->symbolize(s.pc) +
                     ": an exception cannot pass it");
    }
    stepDwarf(s, *image, *fde);
    return;
  }
  const std::uint32_t encoding = entry->encoding;
  static const unsigned pairs[5][2] = {{19, 20}, {21, 22}, {23, 24}, {25, 26}, {27, 28}};
  if ((encoding & kModeMask) == kModeFrame) {
    Address saved = s.x[29] - 8;
    for (unsigned i = 0; i < 5; ++i) {
      if (encoding & (1u << i)) {
        s.x[pairs[i][0]] = machine_.load<std::uint64_t>(saved);
        saved -= 8;
        s.x[pairs[i][1]] = machine_.load<std::uint64_t>(saved);
        saved -= 8;
      }
    }
    for (unsigned i = 0; i < 4; ++i) {
      if (encoding & (0x100u << i)) {
        s.d[2 * i] = machine_.load<std::uint64_t>(saved);
        saved -= 8;
        s.d[2 * i + 1] = machine_.load<std::uint64_t>(saved);
        saved -= 8;
      }
    }
    const Address fp = s.x[29];
    s.x[29] = machine_.load<std::uint64_t>(fp);
    s.pc = machine_.load<std::uint64_t>(fp + 8);
    s.sp = fp + 16;
    return;
  }
  if ((encoding & kModeMask) == kModeFrameless) {
    const std::uint32_t stackSize = 16 * ((encoding >> 12) & 0xfff);
    Address saved = s.sp + stackSize;
    for (unsigned i = 0; i < 5; ++i) {
      if (encoding & (1u << i)) {
        saved -= 8;
        s.x[pairs[i][0]] = machine_.load<std::uint64_t>(saved);
        saved -= 8;
        s.x[pairs[i][1]] = machine_.load<std::uint64_t>(saved);
      }
    }
    s.sp += stackSize;
    s.pc = s.x[30];
    return;
  }
  machine_.fault("no unwind information for " + image->symbolize(s.pc) + " (encoding 0x" +
                 std::to_string(encoding) + "): an exception cannot pass it");
}

void Unwinder::stepDwarf(FrameState& s, const Image& image, Address fde) const {
  (void)image;
  DwarfReader r(machine_, fde);
  const std::uint32_t length = r.u32();
  const Address fdeEnd = fde + 4 + length;
  const Address idField = r.position();
  const std::uint32_t cieOffset = r.u32();
  const Address cie = idField - cieOffset;
  DwarfReader c(machine_, cie);
  const std::uint32_t cieLength = c.u32();
  const Address cieEnd = cie + 4 + cieLength;
  c.u32();
  c.u8();
  const std::string augmentation = c.cstring();
  const std::uint64_t codeAlign = c.uleb();
  const std::int64_t dataAlign = c.sleb();
  const std::uint64_t returnRegister = c.uleb();
  std::uint8_t pointerEncoding = 0;
  if (!augmentation.empty() && augmentation[0] == 'z') {
    const std::uint64_t augLength = c.uleb();
    const Address augEnd = c.position() + augLength;
    for (std::size_t i = 1; i < augmentation.size(); ++i) {
      if (augmentation[i] == 'R')
        pointerEncoding = c.u8();
      else if (augmentation[i] == 'P')
        c.encoded(c.u8());
      else if (augmentation[i] == 'L')
        c.u8();
    }
    c.seek(augEnd);
  }
  const Address functionStart = r.encoded(pointerEncoding);
  r.encoded(pointerEncoding & 0x0f);
  if (!augmentation.empty() && augmentation[0] == 'z') {
    const std::uint64_t augLength = r.uleb();
    r.seek(r.position() + augLength);
  }

  // The rules: where each register was saved, relative to the CFA.
  struct Rule {
    enum Kind { kUnchanged, kOffset, kValOffset, kRegister } kind = kUnchanged;
    std::int64_t value = 0;
  };
  struct Rules {
    std::array<Rule, 96> regs;
    unsigned cfaRegister = 31;
    std::int64_t cfaOffset = 0;
  };
  Rules rules, initial;
  std::vector<Rules> stack;
  const Address target = s.pc - 1;
  auto run = [&](DwarfReader& in, Address end, bool isCie) {
    Address location = functionStart;
    while (in.position() < end) {
      const std::uint8_t op = in.u8();
      const std::uint8_t high = op & 0xc0, low = op & 0x3f;
      if (high == 0x40) {
        location += low * codeAlign;
        if (!isCie && location > target) return;
        continue;
      }
      if (high == 0x80) {
        rules.regs[low] = {Rule::kOffset, static_cast<std::int64_t>(in.uleb()) * dataAlign};
        continue;
      }
      if (high == 0xc0) {
        rules.regs[low] = initial.regs[low];
        continue;
      }
      switch (op) {
        case 0x00:
          break;
        case 0x02:
          location += in.u8() * codeAlign;
          break;
        case 0x03:
          location += in.u16() * codeAlign;
          break;
        case 0x04:
          location += in.u32() * codeAlign;
          break;
        case 0x05: {
          const auto reg = in.uleb();
          rules.regs.at(reg) = {Rule::kOffset, static_cast<std::int64_t>(in.uleb()) * dataAlign};
          break;
        }
        case 0x06:
          rules.regs.at(in.uleb()) = Rule{};
          break;
        case 0x07:
        case 0x08:
          rules.regs.at(in.uleb()) = Rule{};
          break;
        case 0x09: {
          const auto reg = in.uleb();
          rules.regs.at(reg) = {Rule::kRegister, static_cast<std::int64_t>(in.uleb())};
          break;
        }
        case 0x0a:
          stack.push_back(rules);
          break;
        case 0x0b:
          if (!stack.empty()) {
            rules = stack.back();
            stack.pop_back();
          }
          break;
        case 0x0c:
          rules.cfaRegister = static_cast<unsigned>(in.uleb());
          rules.cfaOffset = static_cast<std::int64_t>(in.uleb());
          break;
        case 0x0d:
          rules.cfaRegister = static_cast<unsigned>(in.uleb());
          break;
        case 0x0e:
          rules.cfaOffset = static_cast<std::int64_t>(in.uleb());
          break;
        case 0x11: {
          const auto reg = in.uleb();
          rules.regs.at(reg) = {Rule::kOffset, in.sleb() * dataAlign};
          break;
        }
        case 0x12:
          rules.cfaRegister = static_cast<unsigned>(in.uleb());
          rules.cfaOffset = in.sleb() * dataAlign;
          break;
        case 0x13:
          rules.cfaOffset = in.sleb() * dataAlign;
          break;
        case 0x14: {
          const auto reg = in.uleb();
          rules.regs.at(reg) = {Rule::kValOffset, static_cast<std::int64_t>(in.uleb()) * dataAlign};
          break;
        }
        case 0x2e:
          in.uleb();
          break;
        default:
          machine_.fault("a DWARF call frame instruction 0x" + std::to_string(op) +
                         " that is not modelled");
      }
      if (!isCie && location > target) return;
    }
  };
  run(c, cieEnd, true);
  initial = rules;
  run(r, fdeEnd, false);

  auto value = [&](unsigned reg) -> std::uint64_t {
    if (reg <= 30) return s.x[reg];
    if (reg == 31) return s.sp;
    if (reg >= 72 && reg < 80) return s.d[reg - 72];  // d8-d15
    return 0;
  };
  const std::uint64_t cfa = value(rules.cfaRegister) + static_cast<std::uint64_t>(rules.cfaOffset);
  FrameState next = s;
  for (unsigned reg = 0; reg < 96; ++reg) {
    const Rule& rule = rules.regs[reg];
    if (rule.kind == Rule::kUnchanged) continue;
    std::uint64_t v = 0;
    if (rule.kind == Rule::kOffset) v = machine_.load<std::uint64_t>(cfa + rule.value);
    if (rule.kind == Rule::kValOffset) v = cfa + rule.value;
    if (rule.kind == Rule::kRegister) v = value(static_cast<unsigned>(rule.value));
    if (reg <= 30) next.x[reg] = v;
    if (reg >= 72 && reg < 80) next.d[reg - 72] = v;
  }
  next.sp = cfa;
  next.pc = returnRegister <= 30 ? next.x[returnRegister] : 0;
  s = next;
}

}  // namespace emulator
