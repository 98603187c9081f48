// Whole rings on the virtual clock: a 90-second ring in the dark at four frames a second, and
// many rings in one process with the resident size before and after (no growth expected).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/av_foundation.h"
#include "platform/sim/phone.h"
#include "platform/sim/springboard.h"
#include "shared_state.h"
#include "start_up.h"

namespace {

using namespace tonewell::monitor;

using platform::Value;

long residentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

void startMonitor() {
  sim::resetPhone();
  sim::setLogEcho(false);
  const std::string home =
      (std::filesystem::temp_directory_path() / "tonewell-bench-replay").string();
  std::filesystem::remove_all(home);
  sim::setHomeFolder(home);  // no stored key: every default, the monitor on
  sim::installSpringBoard();
  initializeMonitor();
  sim::setBrightness(platform::AVCaptureDevicePositionFront, -7.0);
}

// One ring: 90 s in the dark (the probe runs from 2 s to the 90 s time-out), then the end.
void ring() {
  const auto start = sim::now();
  sim::playRingtoneAtPath(Value("/Library/Ringtones/Opening.m4r"));
  sim::runUntil(start + std::chrono::seconds(91));
  sim::stopRinging();
  sim::clearRecords();  // the simulated phone's own records, not the monitor's memory
}

void BM_NinetySecondDarkRing(benchmark::State& state) {
  startMonitor();
  for (auto _ : state) ring();
  state.counters["frames/ring"] = benchmark::Counter(static_cast<double>(sim::framesDelivered()),
                                                     benchmark::Counter::kAvgIterations);
  state.counters["volume raised"] = volumeWasIncreased ? 1 : 0;
}
BENCHMARK(BM_NinetySecondDarkRing)->Unit(benchmark::kMillisecond);

void BM_TenThousandRings(benchmark::State& state) {
  startMonitor();
  for (int i = 0; i < 100; ++i) ring();  // warm up: caches and pools at their steady size
  const long before = residentKilobytes();
  for (auto _ : state) {
    for (int i = 0; i < 10'000; ++i) ring();
  }
  const long after = residentKilobytes();
  state.counters["rss before KB"] = static_cast<double>(before);
  state.counters["rss after KB"] = static_cast<double>(after);
  state.counters["ms/ring"] = benchmark::Counter(
      10'000.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TenThousandRings)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
