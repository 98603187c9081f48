// The monitor's hot paths against their floors: the hook path (ahead of SpringBoard's own
// ringtone method) against reading and parsing the preferences file alone, and the frame handler
// for one judged frame.
#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <chrono>
#include <filesystem>

#include "allocation_counter.h"
#include "platform/av_foundation.h"
#include "platform/core_motion.h"
#include "platform/sim/phone.h"
#include "platform/sim/property_list_codec.h"
#include "platform/sim/sample_buffer.h"
#include "platform/sim/springboard.h"
#include "preferences_domain.h"
#include "ringtone_hooks.h"
#include "shared_state.h"
#include "start_up.h"
#include "video_capture_delegate.h"

namespace {

using namespace tonewell::monitor;

using platform::Value;

std::string benchHome() {
  static const std::string home = [] {
    std::string h = (std::filesystem::temp_directory_path() / "tonewell-bench").string();
    std::filesystem::create_directories(h + "/Preferences");
    return h;
  }();
  return home;
}

// A phone with the monitor started and a real binary domain on disk holding every setting at
// its default.
std::string startPhone() {
  sim::resetPhone();
  sim::setLogEcho(false);
  sim::setHomeFolder(benchHome());
  platform::Dictionary settings;
#define TW_SETTING(variable, key, type, fallback, ...) \
  settings.setObjectForKey(Value(static_cast<type>(fallback)), key);
#include "shared_variables.def"
#undef TW_SETTING
  const std::string path = sim::preferencesFolder() + "/" + preferencesDomain + ".plist";
  sim::writeFileAtomically(
      path, sim::serializePropertyList(Value(settings), sim::PropertyListFormat::binary));
  sim::installSpringBoard();
  initializeMonitor();
  return path;
}

void BM_PreferencesFloor_ReadAndParse(benchmark::State& state) {
  const std::string path = startPhone();
  for (auto _ : state) {
    auto bytes = sim::readFile(path);
    plist_t root = nullptr;
    plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
    benchmark::DoNotOptimize(root);
    plist_free(root);
  }
}
BENCHMARK(BM_PreferencesFloor_ReadAndParse);

// The hook, its pocket check and the host's own method. Between iterations (untimed) the
// requests and the accelerometer it started are taken back, so each iteration is a first ring.
void BM_HookPlayRingtoneAtPathVibrationPattern(benchmark::State& state) {
  startPhone();
  Value path("/Library/Ringtones/Opening.m4r");  // the host's objects
  Value pattern = Value(platform::Dictionary{});
  const auto saved = savedPlayRingtoneAtPathVibrationPattern;
  std::size_t allocations = 0;
  for (auto _ : state) {
    const auto before = bench::allocations.load();
    const auto start = std::chrono::steady_clock::now();
    hookPlayRingtoneAtPathVibrationPattern(sim::userAgent(),
                                           "playRingtoneAtPath:vibrationPattern:", &path, &pattern);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    allocations += bench::allocations.load() - before;
    state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
    platform::NSObject::cancelPreviousPerformRequestsWithTarget(captureDelegate);
    motionManager.load()->stopAccelerometerUpdates();
    sim::clearLog();
  }
  benchmark::DoNotOptimize(saved);
  state.counters["allocs/op"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
  state.counters["pending"] = static_cast<double>(sim::pendingTaskCount());
}
BENCHMARK(BM_HookPlayRingtoneAtPathVibrationPattern)->UseManualTime();

// One judged frame: the probe is past its three ignored frames.
struct ArmedProbe {
  std::shared_ptr<TWVideoCaptureDelegate> probe = std::make_shared<TWVideoCaptureDelegate>();
  platform::AVCaptureOutput* output = nullptr;

  ArmedProbe() {
    startPhone();
    captureDelegate = probe.get();
    probe->setupCaptureSession();
    output = probe->session()->outputs().at(0).get();
    sampleCount = 10;
  }
};

platform::opaqueCMSampleBuffer frameWithBrightness(double brightness) {
  platform::Dictionary exif;
  exif.setObjectForKey(Value(0.025), "ExposureTime");
  exif.setObjectForKey(Value(brightness), "BrightnessValue");
  platform::opaqueCMSampleBuffer frame;
  frame.attachments.setObjectForKey(Value(exif), platform::kCGImagePropertyExifDictionary);
  return frame;
}

void BM_FrameDarkWithVolumeRaised(benchmark::State& state) {
  ArmedProbe armed;
  const auto frame = frameWithBrightness(-7.0);
  armed.probe->captureOutputDidOutputSampleBufferFromConnection(armed.output, &frame, nullptr);
  if (!volumeWasIncreased) state.SkipWithError("the first dark frame did not raise the volume");
  const auto before = bench::allocations.load();
  for (auto _ : state) {
    armed.probe->captureOutputDidOutputSampleBufferFromConnection(armed.output, &frame, nullptr);
  }
  state.counters["allocs/op"] = benchmark::Counter(
      static_cast<double>(bench::allocations.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_FrameDarkWithVolumeRaised);

// A bright frame ends the probe, so each iteration re-arms it first (untimed).
void BM_FrameBright(benchmark::State& state) {
  ArmedProbe armed;
  const auto frame = frameWithBrightness(3.0);
  std::size_t allocations = 0;
  for (auto _ : state) {
    const auto before = bench::allocations.load();
    const auto start = std::chrono::steady_clock::now();
    armed.probe->captureOutputDidOutputSampleBufferFromConnection(armed.output, &frame, nullptr);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    allocations += bench::allocations.load() - before;
    state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
    armed.probe->setupCaptureSession();
    armed.output = armed.probe->session()->outputs().at(0).get();
    sampleCount = 10;
  }
  state.counters["allocs/op"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_FrameBright)->UseManualTime();

}  // namespace
