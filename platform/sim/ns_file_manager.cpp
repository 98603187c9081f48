// Foundation's files on the simulated phone: the phone's home is its home folder (sim::homeFolder).
#include "platform/ns_file_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "phone_state.h"
#include "platform/sim/files.h"
#include "platform/sim/phone.h"
#include "platform/sim/property_list_codec.h"

namespace platform {

namespace {

bool useFails(sim::FailableCall call) {
  return sim::currentPhone().state.useFails(call);
}

}  // namespace

std::string NSHomeDirectory() noexcept {
  try {
    return sim::homeFolder();
  } catch (...) {
    return std::string();
  }
}

std::optional<Dictionary> dictionaryWithContentsOfFile(std::string_view path) noexcept {
  try {
    if (useFails(sim::FailableCall::recordRead)) return std::nullopt;
    auto bytes = sim::readFile(std::string(path));
    if (!bytes) return std::nullopt;
    auto value = sim::parsePropertyList(
        {reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()});
    if (!value) return std::nullopt;
    if (auto* dictionary = value->getIf<Dictionary>()) return std::move(*dictionary);
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

bool writeToFileAtomically(const Dictionary& dictionary, std::string_view path) noexcept {
  try {
    if (useFails(sim::FailableCall::recordWrite)) return false;
    return sim::writeFileAtomically(
        std::string(path),
        sim::serializePropertyList(Value(dictionary), sim::PropertyListFormat::xml));
  } catch (...) {
    return false;
  }
}

bool NSFileManager::fileExistsAtPath(std::string_view path) const noexcept {
  try {
    struct stat info {};
    return ::stat(std::string(path).c_str(), &info) == 0;
  } catch (...) {
    return false;
  }
}

bool NSFileManager::createDirectoryAtPathWithIntermediateDirectories(
    std::string_view path) const noexcept {
  try {
    if (useFails(sim::FailableCall::recordFolder)) return false;
    return sim::makeFolders(std::string(path));
  } catch (...) {
    return false;
  }
}

bool NSFileManager::removeItemAtPath(std::string_view path) const noexcept {
  try {
    if (useFails(sim::FailableCall::recordRemove)) return false;
    return ::unlink(std::string(path).c_str()) == 0;
  } catch (...) {
    return false;
  }
}

}  // namespace platform
