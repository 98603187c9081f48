// The preferences file as the monitor loads it: any bytes, XML or binary, in the domain's file.
// Whatever the file holds, loading never crashes and leaves a snapshot the monitor can use.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/sim/files.h"
#include "platform/sim/phone.h"
#include "platform/sim/property_list_codec.h"
#include "preferences_domain.h"
#include "settings_loader.h"
#include "shared_state.h"

namespace {

const std::string& domainFile() {
  static const std::string path = [] {
    // Removed at exit; what a killed run left is removed by the next one.
    static const std::string scratch = sim::makeScratchFolder("tonewell-fuzz");
    std::atexit([] { std::filesystem::remove_all(scratch); });
    std::string home = scratch;
    std::filesystem::create_directories(home + "/Preferences");
    sim::resetPhone();
    sim::setLogEcho(false);
    sim::setHomeFolder(home);
    return home + "/Preferences/" + preferencesDomain + ".plist";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = domainFile();
  if (!sim::writeFileAtomically(path,
                                std::string_view(reinterpret_cast<const char*>(data), size))) {
    return 0;
  }
  tonewell::monitor::loadSettings();
  sim::clearLog();
  // What the rest of the monitor relies on, whatever was stored.
  if (!std::isfinite(increaseVolumeDelay.load()) || increaseVolumeDelay < 0) __builtin_trap();
  if (!(ringingVolumeWhileInPocket >= 0.0 && ringingVolumeWhileInPocket <= 1.0)) __builtin_trap();
  if (!std::isfinite(pocketBrightness.load())) __builtin_trap();
  return 0;
}
