// Importing a mailed debug log: 4000 lines (the most the debug-log page sends), read into rings
// and one scenario per ring, and each scenario read back as `run --from-log` reads it.
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <string>

#include "log_import.h"
#include "scenario.h"

namespace {

// Rings of 40 lines each (hook, settings, accelerometer, 32 frames, raise, restore, stop, status)
// between lines of other processes, to 4000 lines in all, stamped as rsyslogd stamps them.
std::string mailedLog() {
  std::string log;
  int lines = 0;
  double t = 0;
  auto line = [&](const char* process, const std::string& message) {
    const int whole = static_cast<int>(t);
    log += fmt::format("2026-12-08T{:02}:{:02}:{:02}.{:06}+00:00 iPhone {}[52]: {}\n",
                       whole / 3600 % 24, whole / 60 % 60, whole % 60,
                       static_cast<int>((t - whole) * 1e6), process, message);
    ++lines;
  };
  while (lines < 4000) {
    line("SpringBoard",
         "-[<SBUserAgent: 0x15e2a3b0> playRingtoneAtPath:/Library/Ringtones/Marimba.m4r "
         "vibrationPattern:{VibePattern = (1, 0.5);}]");
    line("SpringBoard",
         "TW: settings are: enabled:y, delay:2.000000, volume:0.800000, brightness:-4.000000, "
         "horizontal:n");
    line("SpringBoard",
         "TW: accelerometerdata: x:0.020000, y:-0.700000, z:-0.600000. Is device lying flat: n ");
    t += 3;
    for (int frame = 0; frame < 32; ++frame) {
      line("SpringBoard", fmt::format("TW: brightness: {:.6f}", frame < 16 ? -6.5 : 3.0));
      if (frame == 0) line("SpringBoard", "TW: ringing volume was increased.");
      if (frame == 16) {
        line("SpringBoard", "TW: device taken out of the pocket, original volume restored.");
      }
      t += 0.25;
    }
    line("SpringBoard", "-[<SBUserAgent: 0x15e2a3b0> stopRinging]");
    line("CommCenter", "call ended");
    line("SpringBoard", "TW: kCTCallStatusChangeNotification, new state: 5");
    t += 60;
  }
  return log;
}

void BM_Import4000Lines(benchmark::State& state) {
  const std::string log = mailedLog();
  std::size_t rings = 0;
  for (auto _ : state) {
    const auto imported = tonewell::importLog(log, "tonewell_syslog");
    for (const auto& ring : imported.rings) {
      auto scenario = tonewell::parseScenario(ring.yaml, "ring");
      benchmark::DoNotOptimize(scenario);
    }
    rings = imported.rings.size();
  }
  state.counters["rings"] = static_cast<double>(rings);
}
BENCHMARK(BM_Import4000Lines)->Unit(benchmark::kMillisecond);

}  // namespace
