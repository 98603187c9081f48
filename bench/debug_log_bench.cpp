// The debug-log page's collection (through the real shell and tail) against running the same
// tail command directly, for system logs of 1 MB, 100 MB and 1 GB. tail reads from the end, so
// the time should not depend on the file's size.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "advanced_view_controller.h"
#include "platform/sim/phone.h"
#include "platform/sim/screen.h"

extern char** environ;

namespace {

using namespace tonewell::pane;

// A log file of about `megabytes` MB of syslog-like lines, made once and kept in /tmp.
std::string logFile(long megabytes) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("tonewell-bench-syslog-" + std::to_string(megabytes) + "MB"))
                               .string();
  const std::uintmax_t size = static_cast<std::uintmax_t>(megabytes) << 20;
  std::error_code error;
  const std::uintmax_t existing = std::filesystem::file_size(path, error);
  if (!error && existing >= size) return path;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::string block;
  for (int i = 0; block.size() < (1 << 20); ++i) {
    block += "Dec  8 10:00:00 iPhone SpringBoard[42]: TW: brightness: -6.500000 (line " +
             std::to_string(i) + ")\n";
  }
  for (std::uintmax_t written = 0; written < size; written += block.size()) out << block;
  return path;
}

void BM_DebugLogCollection(benchmark::State& state) {
  const std::string file = logFile(state.range(0));
  sim::resetPhone();
  sim::setLogEcho(false);
  sim::mapPath("/var/log/syslog", file);
  TW_AdvancedViewController page;
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto log = page.generateDebugLog();
    bytes = log ? log->size() : 0;
    sim::clearLog();
  }
  state.counters["log bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_DebugLogCollection)->Arg(1)->Arg(100)->Arg(1024)->Unit(benchmark::kMillisecond);

// Runs `argv` with its standard output into a pipe and reads it to the end.
std::string runAndRead(const char* const argv[]) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  pid_t pid;
  ::posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  char buffer[65536];
  std::string out;
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status;
  ::waitpid(pid, &status, 0);
  return out;
}

// The floor: the same tail, started directly and read to the end.
void BM_TailDirectly(benchmark::State& state) {
  const std::string file = logFile(state.range(0));
  const char* argv[] = {"tail", "--lines=4000", file.c_str(), nullptr};
  for (auto _ : state) benchmark::DoNotOptimize(runAndRead(argv));
}
BENCHMARK(BM_TailDirectly)->Arg(1)->Arg(100)->Arg(1024)->Unit(benchmark::kMillisecond);

// The shell the page must go through, with nothing of the page's own: where the time goes.
void BM_ShellAndTail(benchmark::State& state) {
  const std::string file = logFile(state.range(0));
  const std::string command = "tail --lines=4000 " + file;
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  for (auto _ : state) benchmark::DoNotOptimize(runAndRead(argv));
}
BENCHMARK(BM_ShellAndTail)->Arg(1)->Arg(100)->Arg(1024)->Unit(benchmark::kMillisecond);

}  // namespace
