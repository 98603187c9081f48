#include "replay.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <type_traits>

#include "emulator/phone_binary.h"
#include "platform/av_foundation.h"
#include "platform/sim/files.h"
#include "platform/sim/phone.h"
#include "platform/sim/property_list_codec.h"
#include "scenario_player.h"
#include "setting_values.h"

namespace tonewell {

namespace fs = std::filesystem;
using platform::Value;

namespace {

constexpr const char* kDomain = "com.example.tonewell";

double secondsOf(platform::Duration d) {
  return platform::durationToSeconds(d);
}

const char* positionName(int position) {
  return position == platform::AVCaptureDevicePositionFront ? "front" : "back";
}

// A home folder of the replay's own, so that nothing the scenario stores reaches the person's.
class ScratchHome {
 public:
  // In memory where the system allows: it is thrown away, and a replay writes to it often.
  ScratchHome() : path_(sim::makeScratchFolder("tonewell-replay")) {}
  ~ScratchHome() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  ScratchHome(const ScratchHome&) = delete;
  ScratchHome& operator=(const ScratchHome&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The domain file the replay starts with: the scenario's, or a copy of the person's own.
struct StartingDomain {
  std::optional<std::string> bytes;  // none: no domain file at all
  std::string error;
};

StartingDomain startingDomain(const Scenario& scenario) {
  if (scenario.preferences) {
    return {
        sim::serializePropertyList(Value(*scenario.preferences), sim::PropertyListFormat::binary),
        {}};
  }
  const std::string personal = sim::preferencesFolder() + "/" + kDomain + ".plist";
  if (!fs::exists(personal)) return {};
  std::string error;
  auto bytes = sim::readFile(personal, &error);
  if (!bytes) return {std::nullopt, "cannot read " + personal + ": " + error};
  return {std::move(bytes), {}};
}

// The host process of the replay: the monitor it has loaded (the native library, or the phone
// binary on the emulated CPU), loaded anew at a respring.
class MonitorHost : public HostProcess {
 public:
  MonitorHost(MonitorSource monitor, std::string scratch)
      : monitor_(std::move(monitor)), scratch_(std::move(scratch)) {}

  // Loading the monitor runs its start-up, as the code-injection host's loading does.
  std::optional<std::string> start() override {
    if (!monitor_.phoneBinary.empty()) return startEmulated();
    std::string path = monitor_.library;
    if (!handles_.empty()) {
      // A fresh copy: the loader would hand back the library already loaded, with its state.
      path = scratch_ + "/Tonewell-" + std::to_string(handles_.size()) + ".so";
      std::error_code error;
      fs::copy_file(monitor_.library, path, fs::copy_options::overwrite_existing, error);
      if (error) return "cannot copy the monitor library: " + error.message();
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return "cannot load the monitor library: " + std::string(dlerror());
    handles_.push_back(handle);
    return std::nullopt;
  }

  // The emulated binary's fault, if it had one.
  std::optional<std::string> emulationFailure() const {
    for (const auto& binary : binaries_) {
      if (binary->failure()) {
        return "the phone binary (" + binary->architecture() + ") faulted: " + *binary->failure();
      }
    }
    return std::nullopt;
  }

  // The bytes of an exported variable of the monitor running now; none when it has no such.
  std::optional<std::vector<std::uint8_t>> exported(const char* name, std::size_t size) const {
    if (!binaries_.empty()) return binaries_.back()->exportedBytes(name, size);
    const void* variable = dlsym(handles_.back(), name);
    if (variable == nullptr) return std::nullopt;
    const auto* bytes = static_cast<const std::uint8_t*>(variable);
    return std::vector<std::uint8_t>(bytes, bytes + size);
  }

  // The width of the running monitor's pointers.
  std::size_t pointerSize() const {
    return binaries_.empty() ? sizeof(void*) : binaries_.back()->pointerSize();
  }

 private:
  std::optional<std::string> startEmulated() {
    auto loaded = emulator::PhoneBinary::load(monitor_.phoneBinary, monitor_.architecture);
    if (auto* failure = std::get_if<std::string>(&loaded)) {
      return "cannot load the phone binary: " + *failure;
    }
    binaries_.push_back(std::move(std::get<std::unique_ptr<emulator::PhoneBinary>>(loaded)));
    if (!binaries_.back()->start()) return emulationFailure();
    return std::nullopt;
  }

  MonitorSource monitor_;
  std::string scratch_;
  std::vector<void*> handles_;
  std::vector<std::unique_ptr<emulator::PhoneBinary>> binaries_;
};

template <typename T>
T readExported(const MonitorHost& host, const char* name) {
  // The variables are atomics of the width of their type (the monitor asserts it); a
  // pointer-sized one is as wide as the monitor's pointers (4 bytes in a 32-bit slice).
  std::size_t width = sizeof(T);
  if constexpr (std::is_same_v<T, std::intptr_t>) width = host.pointerSize();
  T value{};
  auto bytes = host.exported(name, width);
  if (!bytes || bytes->size() != width) return value;
  if (width == sizeof(T)) {
    std::memcpy(&value, bytes->data(), sizeof(T));
  } else {
    std::int32_t narrow = 0;
    std::memcpy(&narrow, bytes->data(), sizeof narrow);
    value = static_cast<T>(narrow);
  }
  return value;
}

// The variant's kind for each exported type: integers widen to 64 bits.
template <typename T>
ExportedVariable exported(const MonitorHost& host, const char* name) {
  const T value = readExported<T>(host, name);
  if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, float> || std::is_same_v<T, double>) {
    return {name, value};
  } else {
    return {name, static_cast<std::int64_t>(value)};
  }
}

FinalState readFinalState(const MonitorHost& host) {
  FinalState f;
  f.ringtoneVolume = sim::volume("Ringtone");
  f.ringing = sim::ringtone().ringing;
  f.cameraRunning = sim::runningCameraCount() > 0;
#define TW_SETTING(variable, key, type, ...) f.variables.push_back(exported<type>(host, #variable));
#define TW_STATE(variable, type) f.variables.push_back(exported<type>(host, #variable));
#include "shared_variables.def"
#undef TW_SETTING
#undef TW_STATE
  return f;
}

}  // namespace

float FinalState::number(const std::string& name) const {
  for (const auto& variable : variables) {
    if (variable.name != name) continue;
    return std::visit([](auto v) { return static_cast<float>(v); }, variable.value);
  }
  return 0;
}

std::variant<ReplayResult, std::string> replay(const Scenario& scenario,
                                               const MonitorSource& monitor) {
  static bool replayed = false;
  if (replayed) return std::string("the monitor library loads once per process: one replay only");
  replayed = true;

  sim::resetPhone();
  const StartingDomain domain = startingDomain(scenario);  // before leaving the person's home
  if (!domain.error.empty()) return domain.error;
  ScratchHome home;
  if (home.path().empty()) return std::string("cannot make a temporary folder");
  sim::setHomeFolder(home.path());
  sim::setDurableWrites(false);  // the scratch home is thrown away
  if (domain.bytes) {
    std::error_code ignored;
    fs::create_directories(sim::preferencesFolder(), ignored);
    std::string error;
    if (!sim::writeFileAtomically(sim::preferencesFolder() + "/" + kDomain + ".plist",
                                  *domain.bytes, &error)) {
      return "cannot store the scenario's preferences: " + error;
    }
  }

  MonitorHost host(monitor, home.path());
  if (auto failure = playScenario(scenario, host)) return *failure;
  if (auto failure = host.emulationFailure()) return *failure;

  ReplayResult result;
  result.scenario = scenario.name;
  result.until = scenario.until;
  result.initialVolume = scenario.device.ringtoneVolume;
  if (scenario.preferences) {
    for (const Setting& setting : monitorSettings()) {
      const Value* stored = scenario.preferences->objectForKey(setting.key);
      if (stored == nullptr) continue;
      if (auto note = howTheMonitorReads(setting, *stored)) {
        result.settingNotes.push_back(setting.key + ": " + *note);
      }
    }
  }
  for (const auto& line : sim::logLines()) {
    result.log.push_back({secondsOf(line.time), line.queue, line.message});
  }
  for (const auto& change : sim::volumeChanges()) {
    result.volume.push_back({secondsOf(change.time), change.category, change.value, change.by});
  }
  for (const auto& event : sim::cameraEvents()) {
    result.camera.push_back({secondsOf(event.time), event.start, positionName(event.position)});
  }
  for (const auto& frame : sim::frames()) {
    result.frames.push_back(
        {secondsOf(frame.time), positionName(frame.position), frame.brightness});
  }
  for (const auto& ring : sim::ringtoneEvents()) {
    result.rings.push_back({secondsOf(ring.time), ring.ringing});
  }
  result.final = readFinalState(host);
  return result;
}

const char* nameOf(ChangedBy by) {
  return by == ChangedBy::monitor ? "monitor" : "scenario";
}

}  // namespace tonewell
