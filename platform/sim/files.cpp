#include "platform/sim/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace sim {

namespace fs = std::filesystem;

namespace {

std::string errorText(int code) {
  return std::strerror(code);
}

// The folder that holds `path`: "." for a bare name.
fs::path folderOf(const fs::path& path) {
  const fs::path folder = path.parent_path();
  return folder.empty() ? fs::path(".") : folder;
}

// The file a path finally names: symbolic links followed one by one (a relative target is
// read from the link's folder), up to the system's limit; the target need not exist yet.
std::optional<std::string> finalTarget(const std::string& path, std::string* error) {
  fs::path current = path;
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code code;
    if (!fs::is_symlink(fs::symlink_status(current, code))) return current.string();
    const fs::path target = fs::read_symlink(current, code);
    if (code) {
      if (error) *error = errorText(code.value());
      return std::nullopt;
    }
    current = target.is_absolute() ? target : folderOf(current) / target;
  }
  if (error) *error = errorText(ELOOP);
  return std::nullopt;
}

bool writeAll(int fd, std::string_view bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

constexpr const char* kTemporaryMark = ".tmp-";

std::atomic<bool> durableWrites{true};

// Whether `name` is a temporary as writes here make them, "<name>.tmp-<pid>-XXXXXX"; its
// writer's process id.
std::optional<long> temporaryOf(const std::string& name) {
  const auto mark = name.rfind(kTemporaryMark);
  if (mark == std::string::npos || mark == 0) return std::nullopt;
  const char* digits = name.c_str() + mark + std::strlen(kTemporaryMark);
  char* end = nullptr;
  const long pid = std::strtol(digits, &end, 10);
  if (end == digits || *end != '-' || std::strlen(end + 1) != 6) return std::nullopt;
  return pid;
}

// Temporaries in the folder of `target` whose writer has ended; looked for once per folder and
// process (a killed writer's leftovers do not come back while this one runs), so that writing
// many files into one folder reads the folder once.
void removeStaleTemporaries(const std::string& target) {
  static std::mutex mutex;
  static std::set<std::string> cleaned;
  const fs::path folder = folderOf(target);
  {
    std::lock_guard lock(mutex);
    if (!cleaned.insert(folder.string()).second) return;
  }
  std::error_code code;
  for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code)) {
    const auto pid = temporaryOf(it->path().filename().string());
    std::error_code ignored;
    if (pid && *pid > 0 && !processRuns(*pid)) fs::remove(it->path(), ignored);
  }
}

}  // namespace

void setDurableWrites(bool durable) {
  durableWrites = durable;
}

bool processRuns(long pid) {
  return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

std::optional<std::string> readFile(const std::string& path, std::string* error,
                                    std::size_t limit) {
  // Not blocking: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (error) *error = errorText(errno);
    return std::nullopt;
  }
  auto fail = [&](std::string why) -> std::optional<std::string> {
    if (error) *error = std::move(why);
    ::close(fd);
    return std::nullopt;
  };
  struct stat info {};
  if (::fstat(fd, &info) != 0) return fail(errorText(errno));
  if (!S_ISREG(info.st_mode)) return fail("not a regular file");
  const auto tooLarge = [&] {
    return "larger than " + std::to_string(limit >> 20) + " MiB, the most this reads";
  };
  if (static_cast<std::size_t>(info.st_size) > limit) return fail(tooLarge());
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errorText(errno));
    }
    if (n == 0) break;
    if (bytes.size() + static_cast<std::size_t>(n) > limit) return fail(tooLarge());
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return bytes;
}

bool writeFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
  const std::optional<std::string> resolved = finalTarget(path, error);
  if (!resolved) return false;
  const std::string& target = *resolved;
  struct stat info {};
  if (::stat(target.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    if (error) *error = "not a regular file; it is left as it is";
    return false;
  }
  removeStaleTemporaries(target);
  std::string temporary =
      target + kTemporaryMark + std::to_string(static_cast<long>(::getpid())) + "-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    if (error) *error = errorText(errno);
    return false;
  }
  auto fail = [&](int code) {
    if (error) *error = errorText(code);
    ::close(fd);
    ::unlink(temporary.c_str());
    return false;
  };
  if (!writeAll(fd, bytes)) return fail(errno);
  if (::fchmod(fd, 0644) != 0 || (durableWrites && ::fsync(fd) != 0)) return fail(errno);
  if (::close(fd) != 0) {
    if (error) *error = errorText(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    if (error) *error = errorText(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool writeNewFile(const std::string& path, std::string_view bytes, std::string* error) {
  removeStaleTemporaries(path);
  std::string temporary =
      path + kTemporaryMark + std::to_string(static_cast<long>(::getpid())) + "-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    if (error) *error = errorText(errno);
    return false;
  }
  const bool written =
      writeAll(fd, bytes) && ::fchmod(fd, 0644) == 0 && (!durableWrites || ::fsync(fd) == 0);
  const int code = errno;
  if (::close(fd) != 0 || !written) {
    if (error) *error = errorText(written ? errno : code);
    ::unlink(temporary.c_str());
    return false;
  }
  // link() never replaces: a name that is taken fails, and the file is left as it is.
  const bool linked = ::link(temporary.c_str(), path.c_str()) == 0;
  const int linkCode = errno;
  ::unlink(temporary.c_str());
  if (!linked) {
    if (error) *error = linkCode == EEXIST ? "it exists; it is left as it is" : errorText(linkCode);
    return false;
  }
  return true;
}

bool flushFolder(const std::string& folder, std::string* error) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || ::syncfs(fd) != 0 || ::fsync(fd) != 0) {
    if (error) *error = folder + ": " + errorText(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::close(fd);
  return true;
}

std::optional<std::string> createFileExclusively(const std::string& folder, const std::string& stem,
                                                 const std::string& extension,
                                                 std::string_view bytes, std::string* error) {
  for (int n = 1; n < 10000; ++n) {
    const std::string path =
        folder + "/" + stem + (n == 1 ? "" : "-" + std::to_string(n)) + extension;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      if (error) *error = errorText(errno);
      return std::nullopt;
    }
    const bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int code = errno;
    if (::close(fd) != 0 || !ok) {
      if (error) *error = errorText(ok ? errno : code);
      ::unlink(path.c_str());
      return std::nullopt;
    }
    return path;
  }
  if (error) *error = "every name is taken";
  return std::nullopt;
}

bool makeFolders(const std::string& folder, std::string* error) {
  // Each folder from the top down, made with mkdir for its mode (std::filesystem's would make
  // them writable by all but the umask).
  fs::path part;
  for (const fs::path& name : fs::path(folder)) {
    part /= name;
    if (name.empty() || name == part.root_path()) continue;
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      if (error) *error = part.string() + ": " + errorText(errno);
      return false;
    }
  }
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    if (error) *error = folder + ": not a folder";
    return false;
  }
  return true;
}

std::string makeScratchFolder(const std::string& prefix, std::string* error) {
  std::error_code code;
  const char* tmp = std::getenv("TMPDIR");
  const std::string base = fs::is_directory("/dev/shm", code) && ::access("/dev/shm", W_OK) == 0
                               ? "/dev/shm"
                               : (tmp && *tmp ? tmp : "/tmp");
  // Leftovers of ended processes: "<prefix>-<pid>" with or without a suffix, removed with all
  // they hold (remove_all takes a link away, never what it points to).
  const std::string start = prefix + "-";
  for (fs::directory_iterator it(base, code), end; !code && it != end; it.increment(code)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(start, 0) != 0) continue;
    char* rest = nullptr;
    const long pid = std::strtol(name.c_str() + start.size(), &rest, 10);
    if (pid > 0 && (*rest == '\0' || *rest == '-') && !processRuns(pid)) {
      std::error_code ignored;
      fs::remove_all(it->path(), ignored);
    }
  }
  std::string pattern =
      base + "/" + prefix + "-" + std::to_string(static_cast<long>(::getpid())) + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    if (error) *error = base + ": " + errorText(errno);
    return std::string();
  }
  return pattern;
}

FileLock::FileLock(const std::string& path, double wait) : lockPath_(path + ".lock") {
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    const int fd = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      error_ = lockPath_ + ": " + errorText(errno);
      return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // A holder removes the file before it lets go: the file locked must still be the lock.
      struct stat locked {
      }, named{};
      if (::fstat(fd, &locked) == 0 && ::stat(lockPath_.c_str(), &named) == 0 &&
          locked.st_ino == named.st_ino && locked.st_dev == named.st_dev) {
        // The holder's process id, for people; the system's lock is what excludes.
        const std::string pid = std::to_string(static_cast<long>(::getpid())) + "\n";
        if (::ftruncate(fd, 0) == 0) writeAll(fd, pid);
        fd_ = fd;
        held_ = true;
        return;
      }
      ::close(fd);
      continue;
    }
    const int code = errno;
    std::string holder;
    if (auto owner = readFile(lockPath_, nullptr, 64)) {
      const long pid = std::strtol(owner->c_str(), nullptr, 10);
      if (pid > 0) holder = " (process " + std::to_string(pid) + " holds the lock)";
    }
    ::close(fd);
    if (code != EWOULDBLOCK) {
      error_ = lockPath_ + ": " + errorText(code);
      return;
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const double waited =
        static_cast<double>(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
    if (waited >= wait) {
      error_ = lockPath_ + ": another process is changing this file" +
               (holder.empty() ? std::string(" (it holds the lock)") : holder);
      return;
    }
    const timespec pause{0, 10'000'000};
    ::nanosleep(&pause, nullptr);
  }
}

FileLock::~FileLock() {
  if (!held_) return;
  // Removed while still held, so that a waiter that opened this file looks again.
  ::unlink(lockPath_.c_str());
  ::close(fd_);
}

}  // namespace sim
