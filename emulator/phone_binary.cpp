#include "emulator/phone_binary.h"

#include <fstream>
#include <sstream>

#include "process.h"
#include "ui_frameworks.h"

namespace emulator {

namespace {

std::optional<Arch> archNamed(const std::string& name) {
  for (Arch arch : {Arch::arm64, Arch::armv7, Arch::armv7s}) {
    if (archName(arch) == name) return arch;
  }
  return std::nullopt;
}

std::optional<std::string> readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string baseName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

PhoneBinary::PhoneBinary(std::unique_ptr<Process> process)
    : process_(std::move(process)), architecture_(archName(process_->machine.arch())) {}
PhoneBinary::~PhoneBinary() = default;

std::vector<std::string> PhoneBinary::architectures(const std::string& path) {
  std::vector<std::string> out;
  if (auto bytes = readWhole(path)) {
    for (Arch arch : MachOFile::architectures(*bytes)) out.emplace_back(archName(arch));
  }
  return out;
}

std::variant<std::unique_ptr<PhoneBinary>, std::string> PhoneBinary::load(
    const std::string& path, const std::string& architecture) {
  auto arch = archNamed(architecture);
  if (!arch) return "no architecture named " + architecture;
  auto bytes = readWhole(path);
  if (!bytes) return "cannot read " + path;
  auto parsed = MachOFile::parse(std::move(*bytes), *arch);
  if (auto* failure = std::get_if<std::string>(&parsed)) return path + ": " + *failure;
  try {
    auto process = std::make_unique<Process>(*arch);
    process->defineSystem();
    process->load(std::move(std::get<MachOFile>(parsed)), baseName(path));
    return std::unique_ptr<PhoneBinary>(new PhoneBinary(std::move(process)));
  } catch (const EmulationFault& fault) {
    return path + ": " + fault.what();
  }
}

bool PhoneBinary::start() {
  return process_->enter([this] { process_->image->runInitializers(); });
}

const std::optional<std::string>& PhoneBinary::failure() const {
  return process_->runtime.failure();
}

std::optional<std::vector<std::uint8_t>> PhoneBinary::exportedBytes(const std::string& name,
                                                                    std::size_t size) const {
  auto address = process_->image->exported("_" + name);
  if (!address) return std::nullopt;
  try {
    return process_->machine.readBytes(*address, size);
  } catch (const EmulationFault&) {
    return std::nullopt;
  }
}

bool PhoneBinary::callExported(const std::string& name) {
  auto address = process_->image->exported("_" + name);
  if (!address) return false;
  return process_->enter([&] { process_->machine.call(*address, {}); });
}

std::optional<std::string> PhoneBinary::sendToNewInstance(
    const std::string& className, const std::vector<std::string>& selectors) {
  std::optional<std::string> result;
  process_->enter([&] {
    Runtime& rt = process_->runtime;
    ClassInfo* cls = rt.findClass(className);
    if (cls == nullptr) process_->machine.fault("no class named " + className);
    const Address instance =
        rt.send(rt.send(cls->address, "alloc", {}).integer, "init", {}).integer;
    rt.autorelease(instance);
    Address last = instance;
    for (const std::string& selector : selectors) last = rt.send(instance, selector, {}).integer;
    result = rt.describe(last);
  });
  return result;
}

std::shared_ptr<platform::PSListController> PhoneBinary::makeListController(
    const std::string& className, const std::string& bundlePath) {
  ++process_->calls;
  return emulator::makeListController(process_->runtime, className, bundlePath);
}

std::size_t PhoneBinary::pointerSize() const {
  return process_->machine.pointerSize();
}

std::size_t PhoneBinary::liveObjects() const {
  return process_->runtime.liveObjectCount();
}

const std::string& PhoneBinary::architecture() const {
  return architecture_;
}

std::uint64_t PhoneBinary::callsIntoBinary() const {
  return process_->calls;
}

}  // namespace emulator
