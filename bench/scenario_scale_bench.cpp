// How replays grow with the scenario: `tonewell run` on scenarios of 10k to 1M events, and on a
// domain of 100k keys, each in a process of its own (the monitor loads once per process), with
// the process's peak resident size. Near-linear growth is the goal.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

std::string scratch() {
  const auto folder = std::filesystem::temp_directory_path() / "tonewell-bench-scale";
  std::filesystem::create_directories(folder);
  return folder.string();
}

// Rings of four events each (the ringtone, two call states and its stop), in the dark and in
// the light by turns, ten seconds apart.
std::string eventsScenario(long events) {
  const std::string path = scratch() + "/events-" + std::to_string(events) + ".yaml";
  if (std::filesystem::exists(path)) return path;
  std::ofstream out(path);
  out << "preferences: {}\nworld:\n";
  for (long ring = 0; ring < events / 4; ++ring) {
    out << "  - {at: " << ring * 10 << ", brightness: " << (ring % 2 ? 3 : -6) << "}\n";
  }
  out << "events:\n";
  for (long ring = 0; ring < events / 4; ++ring) {
    const long t = ring * 10;
    out << "  - {at: " << t << ", call: \"playRingtoneAtPath:\"}\n"
        << "  - {at: " << t + 1 << ", notify: kCTCallStatusChangeNotification, userInfo: "
        << "{kCTCallStatus: 4}}\n"
        << "  - {at: " << t + 4 << ", call: stopRinging}\n"
        << "  - {at: " << t + 4 << ".5, notify: kCTCallStatusChangeNotification, userInfo: "
        << "{kCTCallStatus: 5}}\n";
  }
  return path;
}

// Call states alone, one every 0.1 s: the cost of scheduling and replaying events by themselves.
std::string notificationsScenario(long events) {
  const std::string path = scratch() + "/notifications-" + std::to_string(events) + ".yaml";
  if (std::filesystem::exists(path)) return path;
  std::ofstream out(path);
  out << "preferences: {}\nevents:\n";
  for (long i = 0; i < events; ++i) {
    out << "  - {at: " << i / 10 << "." << i % 10
        << ", notify: kCTCallStatusChangeNotification, userInfo: {kCTCallStatus: 2}}\n";
  }
  return path;
}

// One ring with a domain of `keys` keys besides the monitor's own.
std::string keysScenario(long keys) {
  const std::string path = scratch() + "/keys-" + std::to_string(keys) + ".yaml";
  if (std::filesystem::exists(path)) return path;
  std::ofstream out(path);
  out << "preferences:\n  enableDebugLogging: true\n";
  for (long k = 0; k < keys; ++k) out << "  other" << k << ": " << k << "\n";
  out << "world: [{at: 0, brightness: -6}]\n"
      << "events:\n  - {at: 0, call: \"playRingtoneAtPath:\"}\n  - {at: 8, call: stopRinging}\n";
  return path;
}

void replay(benchmark::State& state, const std::string& scenario) {
  const std::string command =
      std::string(TONEWELL_COMMAND) + " run " + scenario + " --json > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("the replay failed");
  }
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  state.counters["peak RSS MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_ReplayEvents(benchmark::State& state) {
  replay(state, eventsScenario(state.range(0)));
}
BENCHMARK(BM_ReplayEvents)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

void BM_ReplayNotifications(benchmark::State& state) {
  replay(state, notificationsScenario(state.range(0)));
}
BENCHMARK(BM_ReplayNotifications)->Arg(100'000)->Iterations(1)->Unit(benchmark::kSecond);

void BM_ReplayKeys(benchmark::State& state) {
  replay(state, keysScenario(state.range(0)));
}
BENCHMARK(BM_ReplayKeys)->Arg(10'000)->Arg(100'000)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
