#include "image.h"

#include <algorithm>
#include <set>

namespace emulator {

namespace {

constexpr Address kPage = 0x4000;  // segments of iOS binaries are 16 KiB aligned on arm64

// The low bits of a class's data pointer are the runtime's flags (Swift, fast paths): three on
// 64-bit, two on 32-bit, where the data is only 4-byte aligned.
Address classDataMask(unsigned pointerSize) {
  return pointerSize == 8 ? ~Address{7} : ~Address{3};
}

}  // namespace

Image::Image(Machine& machine, Runtime& runtime, Imports& imports, const MachOFile& file,
             std::string name, Address base)
    : machine_(machine),
      runtime_(runtime),
      imports_(imports),
      file_(file),
      name_(std::move(name)),
      base_(base),
      slide_(base - file.preferredBase()),
      size_(file.imageSize()) {
  for (const Symbol& symbol : file.symbols()) {
    if (symbol.defined() && !symbol.name.empty() && (symbol.type & 0xe0) == 0) {
      symbols_[symbol.value + slide_] = symbol.name;
    }
  }
  for (const Export& e : file.exports())
    exports_[e.name] = e.address + file.preferredBase() + slide_;
  map();
  rebase();
  bind();
}

void Image::map() {
  machine_.map(base_, (size_ + kPage - 1) / kPage * kPage);
  for (const Segment& segment : file_.segments()) {
    if (segment.name == "__PAGEZERO" || segment.filesize == 0) continue;
    const auto bytes = file_.bytesAt(segment.fileoff, std::min(segment.filesize, segment.vmsize));
    machine_.write(segment.vmaddr + slide_, bytes.data(), bytes.size());
  }
  // Zero-fill sections within a segment's file range are still zero on the phone.
  for (const Section& section : file_.sections()) {
    if (section.zeroFill() && section.size) {
      std::vector<std::uint8_t> zeros(section.size, 0);
      machine_.write(section.address + slide_, zeros.data(), zeros.size());
    }
  }
}

void Image::rebase() {
  if (slide_ == 0) return;
  for (Address at : file_.rebases()) {
    const Address slot = at + slide_;
    machine_.storePointer(slot, machine_.loadPointer(slot) + slide_);
  }
}

void Image::bind() {
  std::set<std::string> missing;
  for (const Bind& b : file_.binds()) {
    auto address = imports_.resolve(b.symbol);
    if (!address) {
      if (b.weakImport) {
        machine_.storePointer(b.where + slide_, 0);
        continue;
      }
      missing.insert(b.symbol);
      continue;
    }
    machine_.storePointer(b.where + slide_, *address + static_cast<Address>(b.addend));
    ++bindCount_;
  }
  if (!missing.empty()) {
    std::string list;
    for (const std::string& symbol : missing) list += (list.empty() ? "" : ", ") + symbol;
    machine_.fault(name_ + " imports what no stand-in serves: " + list);
  }
}

std::pair<Address, std::uint64_t> Image::section(const std::string& segment,
                                                 const std::string& name) const {
  const Section* s = file_.section(segment, name);
  if (s == nullptr) return {0, 0};
  return {s->address + slide_, s->size};
}

void Image::addMethods(ClassInfo& cls, Address list) {
  if (list == 0) return;
  const unsigned p = machine_.pointerSize();
  const std::uint32_t entsize = machine_.load<std::uint32_t>(list) & 0xfffc;
  const std::uint32_t count = machine_.load<std::uint32_t>(list + 4);
  if (entsize != 3 * p || count > 100000) {
    machine_.fault(name_ + ": a method list of " + cls.name + " in a shape iOS 7 does not read");
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    const Address method = list + 8 + Address{i} * entsize;
    const Address selectorRef = machine_.loadPointer(method);
    const std::string selector = machine_.readCString(selectorRef, 4096);
    const std::string types = machine_.readCString(machine_.loadPointer(method + p), 4096);
    const Address imp = machine_.loadPointer(method + 2 * p);
    runtime_.addBinaryMethod(cls, selector, types, imp);
    // The method list names its selector by the uniqued selector, as the runtime fixes it up.
    machine_.storePointer(method, runtime_.selector(selector));
  }
}

void Image::realizeClass(Address classAddress, std::map<Address, ClassInfo*>& done) {
  if (done.count(classAddress) || runtime_.classAt(classAddress)) return;
  const unsigned p = machine_.pointerSize();
  const Address metaAddress = machine_.loadPointer(classAddress);
  const Address superAddress = machine_.loadPointer(classAddress + p);
  if (superAddress && contains(superAddress)) realizeClass(superAddress, done);
  ClassInfo* super = superAddress ? runtime_.classAt(superAddress) : nullptr;
  if (superAddress && super == nullptr) {
    machine_.fault(name_ + ": the superclass of the class at " + Machine::hex(classAddress) +
                   " is no class");
  }
  // class_ro_t: flags, instanceStart, instanceSize, (reserved), ivarLayout, name, methods,
  // protocols, ivars, ...
  const Address ro = machine_.loadPointer(classAddress + 4 * p) & classDataMask(p);
  const Address metaRo = machine_.loadPointer(metaAddress + 4 * p) & classDataMask(p);
  const std::uint32_t instanceStart = machine_.load<std::uint32_t>(ro + 4);
  std::uint32_t instanceSize = machine_.load<std::uint32_t>(ro + 8);
  const Address fields = ro + (p == 8 ? 16 : 12);
  const std::string name = machine_.readCString(machine_.loadPointer(fields + p), 1024);
  // Instance variables slide past the superclass's, as the runtime's non-fragile layout does.
  const std::uint32_t superSize = super ? super->instanceSize : 0;
  if (superSize > instanceStart) {
    const std::uint32_t delta = (superSize - instanceStart + 7) & ~7u;
    const Address ivars = machine_.loadPointer(fields + 4 * p);
    if (ivars) {
      const std::uint32_t ivarSize = machine_.load<std::uint32_t>(ivars) & 0xffff;
      const std::uint32_t count = machine_.load<std::uint32_t>(ivars + 4);
      for (std::uint32_t i = 0; i < count; ++i) {
        const Address offsetPointer = machine_.loadPointer(ivars + 8 + Address{i} * ivarSize);
        if (offsetPointer) {
          machine_.store<std::uint32_t>(offsetPointer,
                                        machine_.load<std::uint32_t>(offsetPointer) + delta);
        }
      }
    }
    instanceSize += delta;
  }
  ClassInfo& cls = runtime_.adoptBinaryClass(classAddress, metaAddress, name, super,
                                             super ? super->meta : nullptr, instanceSize);
  done[classAddress] = &cls;
  addMethods(cls, machine_.loadPointer(fields + 2 * p));
  const Address metaFields = metaRo + (p == 8 ? 16 : 12);
  addMethods(*cls.meta, machine_.loadPointer(metaFields + 2 * p));
}

void Image::registerObjectiveC() {
  const unsigned p = machine_.pointerSize();
  // Selector references point at the one selector of each name.
  if (auto [refs, size] = section("__DATA", "__objc_selrefs"); size) {
    for (Address at = refs; at < refs + size; at += p) {
      const std::string name = machine_.readCString(machine_.loadPointer(at), 4096);
      machine_.storePointer(at, runtime_.selector(name));
    }
  }
  std::map<Address, ClassInfo*> done;
  if (auto [list, size] = section("__DATA", "__objc_classlist"); size) {
    for (Address at = list; at < list + size; at += p) realizeClass(machine_.loadPointer(at), done);
  }
  // Categories: name, class, instance methods, class methods, protocols, properties.
  if (auto [list, size] = section("__DATA", "__objc_catlist"); size) {
    for (Address at = list; at < list + size; at += p) {
      const Address category = machine_.loadPointer(at);
      ClassInfo* cls = runtime_.classAt(machine_.loadPointer(category + p));
      if (cls == nullptr) {
        machine_.fault(name_ + ": a category on a class that is not there (" +
                       machine_.readCString(machine_.loadPointer(category), 1024) + ")");
      }
      addMethods(*cls, machine_.loadPointer(category + 2 * p));
      addMethods(*cls->meta, machine_.loadPointer(category + 3 * p));
    }
  }
}

void Image::runInitializers() {
  if (auto [list, size] = section("__DATA", "__mod_init_func"); size) {
    const unsigned p = machine_.pointerSize();
    for (Address at = list; at < list + size; at += p) {
      const Address initializer = machine_.loadPointer(at);
      machine_.call(initializer, {});
    }
  }
}

std::optional<Address> Image::exported(const std::string& symbol) const {
  auto it = exports_.find(symbol);
  if (it == exports_.end()) return std::nullopt;
  return it->second;
}

std::string Image::symbolize(Address address) const {
  if (!contains(address)) return Machine::hex(address);
  std::string out = name_ + "+" + Machine::hex(address - base_);
  auto it = symbols_.upper_bound(address);
  if (it != symbols_.begin()) {
    --it;
    out += " (" + it->second + "+" + Machine::hex(address - it->first) + ")";
  }
  return out;
}

}  // namespace emulator
