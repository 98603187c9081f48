// A 15-second ring in a dark pocket, replayed by the native monitor and by the phone's own
// binary on the emulated CPU: the cost of proving the phone's bytes, as a ratio. The phone
// binary is TONEWELL_PHONE_MONITOR (built by scripts/phone.sh); without it the benchmark says so.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "emulator/phone_binary.h"
#include "platform/av_foundation.h"
#include "platform/sim/phone.h"
#include "platform/sim/springboard.h"
#include "start_up.h"

namespace {

using platform::Value;
using Clock = std::chrono::steady_clock;

void freshPhone() {
  sim::resetPhone();
  sim::setLogEcho(false);
  const std::string home =
      (std::filesystem::temp_directory_path() / "tonewell-bench-emulation").string();
  std::filesystem::remove_all(home);
  sim::setHomeFolder(home);  // no stored key: every default, the monitor on
  sim::installSpringBoard();
  sim::setBrightness(platform::AVCaptureDevicePositionFront, -7.0);
}

// One ring: 15 s in the dark (the camera judges frames from 2 s on), then the end.
void ring() {
  const auto start = sim::now();
  sim::playRingtoneAtPath(Value("/Library/Ringtones/Opening.m4r"));
  sim::runUntil(start + std::chrono::seconds(15));
  sim::stopRinging();
  sim::runUntil(start + std::chrono::seconds(16));
  sim::clearRecords();
}

double secondsPerRing(int rings) {
  const auto begin = Clock::now();
  for (int i = 0; i < rings; ++i) ring();
  return std::chrono::duration<double>(Clock::now() - begin).count() / rings;
}

void BM_FifteenSecondRingEmulatedAgainstNative(benchmark::State& state) {
  const char* binary = std::getenv("TONEWELL_PHONE_MONITOR");
  if (binary == nullptr || !std::filesystem::exists(binary)) {
    state.SkipWithError(
        "set TONEWELL_PHONE_MONITOR to the phone's Tonewell.dylib (scripts/phone.sh)");
    return;
  }
  constexpr int kRings = 20;
  double native = 0, emulated = 0;
  std::uint64_t frames = 0;
  for (auto _ : state) {
    freshPhone();
    tonewell::monitor::initializeMonitor();
    native = secondsPerRing(kRings);

    freshPhone();
    auto loaded = emulator::PhoneBinary::load(binary, "arm64");
    if (auto* failure = std::get_if<std::string>(&loaded)) {
      state.SkipWithError(failure->c_str());
      return;
    }
    auto& monitor = std::get<std::unique_ptr<emulator::PhoneBinary>>(loaded);
    monitor->start();
    emulated = secondsPerRing(kRings);
    frames = sim::framesDelivered();
    if (monitor->failure()) {
      state.SkipWithError(monitor->failure()->c_str());
      return;
    }
  }
  state.counters["native ms/ring"] = native * 1000;
  state.counters["emulated ms/ring"] = emulated * 1000;
  state.counters["emulated/native"] = emulated / native;
  state.counters["frames/ring"] = static_cast<double>(frames) / kRings;
}
BENCHMARK(BM_FifteenSecondRingEmulatedAgainstNative)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
