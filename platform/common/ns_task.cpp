// NSPipe and its file handles on POSIX pipes.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ns_task.h"

namespace platform {

NSFileHandle::~NSFileHandle() {
  closeFile();
}

void NSFileHandle::closeFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Data NSFileHandle::readDataToEndOfFile() {
  Data data;
  if (fd_ < 0) return data;
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.insert(data.end(), buffer, buffer + n);
  }
  return data;
}

Data NSFileHandle::readDataOfLength(std::size_t length) {
  Data data;
  if (fd_ < 0) return data;
  data.resize(length);
  std::size_t filled = 0;
  while (filled < length) {
    const ssize_t n = ::read(fd_, data.data() + filled, length - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    filled += static_cast<std::size_t>(n);
  }
  data.resize(filled);
  return data;
}

NSPipe::NSPipe(int readFd, int writeFd)
    : reading_(std::make_unique<NSFileHandle>(readFd)),
      writing_(std::make_unique<NSFileHandle>(writeFd)) {}

std::shared_ptr<NSPipe> NSPipe::pipe() {
  int fds[2];
#ifdef __linux__
  if (::pipe2(fds, O_CLOEXEC) != 0) return nullptr;
#else
  // No pipe2 on the phone: close-on-exec follows at once, so only a process launched by
  // another thread in that instant could inherit the descriptors.
  if (::pipe(fds) != 0) return nullptr;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#endif
  return std::shared_ptr<NSPipe>(new NSPipe(fds[0], fds[1]));
}

}  // namespace platform
