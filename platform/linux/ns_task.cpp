// NSTask on posix_spawn.
#include "platform/ns_task.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "phone_state.h"

extern char** environ;

namespace platform {

NSTask::~NSTask() {
  if (pid_ > 0) waitUntilExit();
}

void NSTask::launch() {
  if (pid_ > 0) throw NSException("NSInvalidArgumentException", "task already launched");
  std::string program = launchPath_;
  std::vector<std::string> argv0{launchPath_};
  argv0.insert(argv0.end(), arguments_.begin(), arguments_.end());
  {
    auto& screen = sim::ScreenState::instance();
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
  }
  std::vector<char*> argv;
  for (auto& a : argv0) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (standardOutput_) {
    posix_spawn_file_actions_adddup2(
        &actions, standardOutput_->fileHandleForWriting().fileDescriptor(), STDOUT_FILENO);
  }
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  // The child has its own copy of the writing end; without closing ours, no end of file comes.
  if (standardOutput_) standardOutput_->fileHandleForWriting().closeFile();
  if (error != 0) {
    throw NSException("NSInvalidArgumentException", "launch path not accessible: " + launchPath_ +
                                                        " (" + std::strerror(error) + ")");
  }
  pid_ = pid;
}

void NSTask::waitUntilExit() {
  if (pid_ <= 0) return;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
}

}  // namespace platform
