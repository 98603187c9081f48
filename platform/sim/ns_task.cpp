// NSTask on the simulated phone. A launched program runs under a guard: a small process of its
// own, leading a process group of its own, that starts the program in it and kills the whole
// group when the program outlives its time, or when the process that launched it ends (however
// it ends: the guard holds the reading end of a pipe whose only writer is that process). The
// program and all it starts may use a bounded address space. So no `tail` of a log that never
// ends keeps growing, and none is left behind by a killed command.
#include "platform/ns_task.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "phone_state.h"

extern char** environ;

namespace platform {

namespace {

// What the launching process keeps of a running program: the writing end of the guard's pipe,
// and when and how it was started.
struct Watch {
  int lifeline = -1;
  timespec started{};
  double limit = 0;
  std::string command;
};

std::mutex& watchesMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<int, Watch>& watches() {
  static std::map<int, Watch> all;
  return all;
}

double secondsSince(const timespec& start) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) +
         static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Closes every descriptor from 3 up but those in `keep` (ascending), so that the guard holds
// nothing of its launcher's (a lock, a socket, another program's pipe) while it waits.
void closeAllBut(const int* keep, std::size_t count) {
  unsigned from = 3;
  for (std::size_t i = 0; i < count; ++i) {
    if (keep[i] < 3) continue;
    const auto fd = static_cast<unsigned>(keep[i]);
    if (fd > from) ::close_range(from, fd - 1, 0);
    from = std::max(from, fd + 1);
  }
  ::close_range(from, ~0u, 0);
}

// The status a process ended with, as terminationStatus gives it.
int statusOf(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The status of a program the guard stopped (as a shell reports one killed by SIGKILL).
constexpr int kStopped = 128 + SIGKILL;

// The guard: runs in the child of fork(), so it calls only what is safe there. It leads a
// process group of its own (a terminal's signals to the launcher's group do not end it) and
// starts the program leading another, which it kills as a whole: when the program has ended
// (what it started and left behind), at the deadline, and when the launcher ends. Never returns.
[[noreturn]] void guard(const char* program, char* const* argv, int output, int lifeline,
                        int report, rlim_t memory, long milliseconds) {
  ::setpgid(0, 0);
  int keep[] = {output, lifeline, report};
  std::sort(std::begin(keep), std::end(keep));
  closeAllBut(keep, 3);
  // vfork: the guard waits while the child, on its memory, only makes system calls and execs.
  const pid_t worker = ::vfork();
  if (worker == 0) {
    ::setpgid(0, 0);
    if (output >= 0) {
      if (output == STDOUT_FILENO) {
        ::fcntl(output, F_SETFD, 0);
      } else {
        ::dup2(output, STDOUT_FILENO);
      }
    }
    const rlimit limit{memory, memory};
    ::setrlimit(RLIMIT_AS, &limit);
    ::execve(program, argv, environ);
    const int code = errno;
    [[maybe_unused]] const ssize_t written = ::write(report, &code, sizeof code);
    ::_exit(127);
  }
  if (worker < 0) ::_exit(127);
  ::setpgid(worker, worker);  // either side may come first
  ::close(report);
  if (output >= 0) ::close(output);

  // Wakes when the program ends (its pidfd becomes readable), when the launcher ends (the pipe's
  // writer goes), or at the deadline.
  const int ended = static_cast<int>(::syscall(SYS_pidfd_open, worker, 0));
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  int result = kStopped;
  for (;;) {
    siginfo_t info{};
    // Not reaped yet: the group's number stays the program's while the group is killed.
    if (::waitid(P_PID, static_cast<id_t>(worker), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == worker) {
      result = -1;
      break;
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long elapsed =
        (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1'000'000;
    if (elapsed >= milliseconds) break;
    pollfd fds[2] = {{lifeline, POLLIN, 0}, {ended, POLLIN, 0}};
    // Without a pidfd (an old kernel), the program's end is looked for every 50 ms.
    const long wait = ended >= 0 ? milliseconds - elapsed : std::min(milliseconds - elapsed, 50L);
    if (::poll(fds, ended >= 0 ? 2 : 1, static_cast<int>(wait)) > 0 && fds[0].revents != 0) {
      break;  // the launcher has ended
    }
  }
  ::kill(-worker, SIGKILL);
  int status = 0;
  while (::waitpid(worker, &status, 0) < 0 && errno == EINTR) {
  }
  ::_exit(result < 0 ? statusOf(status) : result);
}

}  // namespace

NSTask::~NSTask() {
  if (pid_ > 0) waitUntilExit();
}

void NSTask::launch() {
  if (pid_ > 0) throw NSException("NSInvalidArgumentException", "task already launched");
  std::string program = launchPath_;
  std::vector<std::string> argv0{launchPath_};
  argv0.insert(argv0.end(), arguments_.begin(), arguments_.end());
  double seconds = 0;
  std::size_t memory = 0;
  {
    auto& screen = sim::currentPhone().screen;
    std::lock_guard lock(screen.mutex);
    if (auto it = screen.substitutes.find(program); it != screen.substitutes.end()) {
      program = it->second;
    }
    for (const auto& [from, to] : screen.paths) {
      for (auto& argument : argv0) {
        for (auto at = argument.find(from); at != std::string::npos;
             at = argument.find(from, at + to.size())) {
          argument.replace(at, from.size(), to);
        }
      }
    }
    seconds = screen.taskTimeLimit;
    memory = screen.taskMemoryLimit;
  }
  std::vector<char*> argv;
  for (auto& a : argv0) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string command;
  for (const auto& a : argv0) command += (command.empty() ? "" : " ") + a;

  const int output =
      standardOutput_ ? standardOutput_->fileHandleForWriting().fileDescriptor() : -1;
  int lifeline[2] = {-1, -1};
  int report[2] = {-1, -1};
  if (::pipe2(lifeline, O_CLOEXEC) != 0 || ::pipe2(report, O_CLOEXEC) != 0) {
    for (int fd : {lifeline[0], lifeline[1], report[0], report[1]}) {
      if (fd >= 0) ::close(fd);
    }
    throw NSException("NSInvalidArgumentException", "no descriptors left to launch " + command);
  }
  const long milliseconds = std::lround(std::clamp(seconds, 0.001, 86400.0) * 1000);
  timespec started{};
  ::clock_gettime(CLOCK_MONOTONIC, &started);  // before the guard's own start
  const pid_t pid = ::fork();
  if (pid == 0) {
    guard(program.c_str(), argv.data(), output, lifeline[0], report[1], static_cast<rlim_t>(memory),
          milliseconds);
  }
  ::close(lifeline[0]);
  ::close(report[1]);
  // The program has its own copy of the writing end; without closing ours, no end of file comes.
  if (standardOutput_) standardOutput_->fileHandleForWriting().closeFile();
  // Nothing comes through `report` when the program has started (its copy closes at exec).
  int code = 0;
  ssize_t n = 0;
  do {
    n = pid > 0 ? ::read(report[0], &code, sizeof code) : -1;
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (pid < 0 || n == static_cast<ssize_t>(sizeof code)) {
    if (pid > 0) {
      int status = 0;
      ::waitpid(pid, &status, 0);
    }
    ::close(lifeline[1]);
    throw NSException("NSInvalidArgumentException",
                      "launch path not accessible: " + launchPath_ + " (" +
                          std::strerror(pid < 0 ? errno : code) + ")");
  }
  pid_ = pid;
  Watch watch;
  watch.lifeline = lifeline[1];
  watch.started = started;
  watch.limit = static_cast<double>(milliseconds) / 1000;
  watch.command = std::move(command);
  std::lock_guard lock(watchesMutex());
  watches()[pid] = std::move(watch);
}

void NSTask::waitUntilExit() {
  if (pid_ <= 0) return;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = statusOf(status);
  Watch watch;
  {
    std::lock_guard lock(watchesMutex());
    auto found = watches().find(pid_);
    if (found != watches().end()) {
      watch = std::move(found->second);
      watches().erase(found);
    }
  }
  if (watch.lifeline >= 0) ::close(watch.lifeline);
  if (status_ == kStopped && secondsSince(watch.started) >= watch.limit) {
    try {
      char limit[32];
      std::snprintf(limit, sizeof limit, "%g", watch.limit);
      auto& screen = sim::currentPhone().screen;
      std::lock_guard lock(screen.mutex);
      screen.taskReports.push_back("\"" + watch.command + "\" did not finish within " + limit +
                                   " s and was stopped");
    } catch (...) {
    }
  }
  pid_ = -1;
}

}  // namespace platform
