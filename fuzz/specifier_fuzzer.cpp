// The specifier property list as the pane loads it: any bytes in TonewellPrefs.plist.
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/sim/files.h"
#include "platform/sim/phone.h"
#include "platform/sim/property_list_codec.h"
#include "tonewell_prefs_list_controller.h"

namespace {

const std::string& bundleFolder() {
  static const std::string path = [] {
    // Removed at exit; what a killed run left is removed by the next one.
    static const std::string scratch = sim::makeScratchFolder("tonewell-fuzz-bundle");
    std::atexit([] { std::filesystem::remove_all(scratch); });
    std::string folder = scratch;
    std::filesystem::create_directories(folder);
    sim::resetPhone();
    sim::setLogEcho(false);
    sim::setHomeFolder(folder);
    return folder;
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& folder = bundleFolder();
  if (!sim::writeFileAtomically(folder + "/TonewellPrefs.plist",
                                std::string_view(reinterpret_cast<const char*>(data), size))) {
    return 0;
  }
  auto page = std::make_shared<tonewell::pane::TonewellPrefsListController>();
  page->setBundlePath(folder);
  if (auto rows = page->specifiers()) {
    for (const auto& row : *rows) {
      (void)row->name();
      (void)page->readPreferenceValue(*row);
    }
    if (page->specifiers() != rows) __builtin_trap();  // cached after the first load
  }
  return 0;
}
