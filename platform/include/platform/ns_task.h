// NSTask and NSPipe: launching a process and reading what it writes.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "platform/ns_object.h"
#include "platform/value.h"

namespace platform {

// The platform's exception class. Only NSTask's launch raises it here.
class NSException : public std::exception {
 public:
  NSException(std::string name, std::string reason)
      : name_(std::move(name)), reason_(std::move(reason)) {}
  const char* what() const noexcept override { return reason_.c_str(); }
  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string name_, reason_;
};

class NSFileHandle {
 public:
  explicit NSFileHandle(int fd) : fd_(fd) {}
  ~NSFileHandle();
  NSFileHandle(const NSFileHandle&) = delete;
  NSFileHandle& operator=(const NSFileHandle&) = delete;
  // Reads until the writing ends are all closed; returns every byte (possibly none).
  Data readDataToEndOfFile();
  // Reads up to `length` bytes, waiting until that many have come or the writing ends are all
  // closed; fewer (none at the end) only then.
  Data readDataOfLength(std::size_t length);
  int fileDescriptor() const { return fd_; }
  void closeFile();

 private:
  int fd_;
};

class NSPipe : public NSObject {
 public:
  // A new pipe; null when the system has no descriptors left.
  static std::shared_ptr<NSPipe> pipe();
  const char* className() const override { return "NSPipe"; }
  NSFileHandle& fileHandleForReading() { return *reading_; }
  NSFileHandle& fileHandleForWriting() { return *writing_; }

 private:
  NSPipe(int readFd, int writeFd);
  std::unique_ptr<NSFileHandle> reading_, writing_;
};

class NSTask : public NSObject {
 public:
  ~NSTask() override;
  const char* className() const override { return "NSTask"; }
  void setLaunchPath(std::string path) { launchPath_ = std::move(path); }
  void setArguments(std::vector<std::string> arguments) { arguments_ = std::move(arguments); }
  // The process writes its standard output into `pipe`; standard input and error are inherited.
  void setStandardOutput(std::shared_ptr<NSPipe> pipe) { standardOutput_ = std::move(pipe); }
  // Starts the process. Raises NSException when it cannot be started (no such program, not
  // executable, already launched).
  void launch();
  void waitUntilExit();
  int terminationStatus() const { return status_; }
  // The process's id while it runs (launched and not yet waited for); -1 otherwise.
  int processIdentifier() const { return pid_ > 0 ? pid_ : -1; }

 private:
  std::string launchPath_;
  std::vector<std::string> arguments_;
  std::shared_ptr<NSPipe> standardOutput_;
  int pid_ = -1;
  int status_ = 0;
};

}  // namespace platform
