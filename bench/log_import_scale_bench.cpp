// How `tonewell import` grows with the log: 5,000 to 40,000 rings written as scenarios (each
// into a fresh folder), the same only listed, and a 100 MB log of 10 MB lines; each import in a
// process of its own, with that process's peak resident size. Linear growth is the goal, and a
// peak of a small multiple of the log.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string scratch() {
  const auto folder = std::filesystem::temp_directory_path() / "tonewell-bench-import";
  std::filesystem::create_directories(folder);
  return folder.string();
}

// Rings of eight lines (hook, settings, a dark frame, the raise, a bright frame, the restore,
// the stop and the call state), a minute apart, stamped as rsyslogd stamps them.
std::string ringsLog(long rings) {
  const std::string path = scratch() + "/rings-" + std::to_string(rings) + ".log";
  if (std::filesystem::exists(path)) return path;
  std::ofstream out(path);
  double t = 0;
  auto line = [&](const std::string& message, double after) {
    t += after;
    const long whole = static_cast<long>(t);
    out << fmt::format("2026-12-08T{:02}:{:02}:{:02}.{:06}+00:00 iPhone SpringBoard[52]: {}\n",
                       whole / 3600 % 24, whole / 60 % 60, whole % 60,
                       static_cast<long>((t - whole) * 1e6), message);
  };
  for (long ring = 0; ring < rings; ++ring) {
    line("-[<SBUserAgent: 0x15e2a3b0> playRingtoneAtPath:/Library/Ringtones/Marimba.m4r]", 60);
    line(
        "TW: settings are: enabled:y, delay:2.000000, volume:0.800000, brightness:-4.000000, "
        "horizontal:n",
        0);
    line("TW: brightness: -6.500000", 3);
    line("TW: ringing volume was increased.", 0);
    line("TW: brightness: 3.000000", 1);
    line("TW: device taken out of the pocket, original volume restored.", 0);
    line("-[<SBUserAgent: 0x15e2a3b0> stopRinging]", 1);
    line("TW: kCTCallStatusChangeNotification, new state: 5", 0);
  }
  return path;
}

// Ten rings whose ringtone paths are 10 MB each.
std::string longLinesLog() {
  const std::string path = scratch() + "/long-lines.log";
  if (std::filesystem::exists(path)) return path;
  std::ofstream out(path);
  const std::string name(10'000'000, 'x');
  for (int ring = 0; ring < 10; ++ring) {
    out << fmt::format(
               "Dec  8 23:{:02}:01 iPhone SpringBoard[52] <Warning>: -[<SBUserAgent: 0x1> "
               "playRingtoneAtPath:/{}]\n",
               ring, name)
        << fmt::format(
               "Dec  8 23:{:02}:05 iPhone SpringBoard[52] <Warning>: -[<SBUserAgent: "
               "0x1> stopRinging]\n",
               ring);
  }
  return path;
}

// Runs the command with `arguments`, its output thrown away; its peak resident size in MB, or a
// negative number when it failed.
double run(const std::vector<std::string>& arguments) {
  std::vector<char*> argv{const_cast<char*>(TONEWELL_COMMAND)};
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    ::execv(TONEWELL_COMMAND, argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void import(benchmark::State& state, const std::string& log, bool list) {
  double peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string folder = scratch() + "/out";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    state.ResumeTiming();
    peak = run(list ? std::vector<std::string>{"import", log, "--list"}
                    : std::vector<std::string>{"import", log, "--output", folder});
    if (peak < 0) state.SkipWithError("the import failed");
  }
  state.counters["peak RSS MB"] = peak;
  state.counters["log MB"] = static_cast<double>(std::filesystem::file_size(log)) / 1e6;
}

void BM_ImportRingsWritten(benchmark::State& state) {
  import(state, ringsLog(state.range(0)), false);
}
BENCHMARK(BM_ImportRingsWritten)
    ->Arg(5'000)
    ->Arg(20'000)
    ->Arg(40'000)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

void BM_ImportRingsListed(benchmark::State& state) {
  import(state, ringsLog(state.range(0)), true);
}
BENCHMARK(BM_ImportRingsListed)->Arg(40'000)->Iterations(1)->Unit(benchmark::kSecond);

void BM_ImportLongLines(benchmark::State& state) {
  import(state, longLinesLog(), true);
}
BENCHMARK(BM_ImportLongLines)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
