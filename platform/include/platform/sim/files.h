// Files as the simulated phone and the tools read and write them: regular files only, bounded
// reads, atomic writes that follow symbolic links, exclusive creation, and a lock beside a file
// for the read-modify-write of two processes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

inline constexpr std::size_t kDefaultReadLimit = 64u << 20;

// Reads a whole regular file of at most `limit` bytes; none when it cannot be opened, is not a
// regular file (a FIFO, a device, a folder: never waited on) or is larger (`error` says why).
std::optional<std::string> readFile(const std::string& path, std::string* error = nullptr,
                                    std::size_t limit = kDefaultReadLimit);

// Writes `bytes` to a temporary file beside the file `path` names and renames it over that
// file, so a reader sees the old file or the new one, never a part. A symbolic link is written
// through: its target is replaced, in the target's folder, and the link stays. A path that
// exists and is not a regular file (a device, a FIFO, a folder) is refused. False (and `error`)
// on failure, with the file untouched. Temporaries that a killed writer left beside the file
// are removed.
bool writeFileAtomically(const std::string& path, std::string_view bytes,
                         std::string* error = nullptr);

// Whether writeFileAtomically flushes each file to the disk before renaming it (the default).
// A replay turns it off: its scratch home is thrown away, and a flush per raise of the volume
// would make a long replay wait on the disk.
void setDurableWrites(bool durable);

// Writes `bytes` to the new file `path`, never replacing one: it is written beside it and linked
// into place, so a reader sees all of it or nothing. Flushed to the disk only while durable
// writes are on (setDurableWrites). False (and `error`: "it exists; ..." when the name is taken)
// when it cannot; nothing is left behind then.
bool writeNewFile(const std::string& path, std::string_view bytes, std::string* error = nullptr);

// Flushes every file written into `folder`, and the folder itself, to the disk. False (and
// `error`, naming the folder) when it cannot.
bool flushFolder(const std::string& folder, std::string* error = nullptr);

// Creates `folder + "/" + stem + extension`, or, when that name is taken, stem-2, stem-3, ...,
// never replacing a file; writes `bytes` into it. The path made, or none (`error`).
std::optional<std::string> createFileExclusively(const std::string& folder, const std::string& stem,
                                                 const std::string& extension,
                                                 std::string_view bytes,
                                                 std::string* error = nullptr);

// Makes `folder` and every missing folder above it. False (and `error`) when it cannot.
bool makeFolders(const std::string& folder, std::string* error = nullptr);

// A lock beside a file, as git's index.lock: "<path>.lock", held with the system's file lock
// (flock) and holding the holder's process id for people to read. Waits up to `wait` seconds for
// another holder. The system lets go of a lock whose process ends, so a lock file left behind (by
// a writer killed at any moment, an empty one included) holds nothing and is taken; two holders
// never share it.
class FileLock {
 public:
  FileLock(const std::string& path, double wait = 2.0);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return held_; }
  const std::string& lockPath() const { return lockPath_; }
  // Why the lock was not taken, naming the lock file.
  const std::string& error() const { return error_; }

 private:
  std::string lockPath_;
  std::string error_;
  int fd_ = -1;
  bool held_ = false;
};

// A new folder "<base>/<prefix>-<pid>-XXXXXX" for this process's scratch files, in memory
// (/dev/shm) where the system has it, else in the temporary folder; those a process that has
// ended left behind are removed first. Empty (and `error`) when none can be made.
std::string makeScratchFolder(const std::string& prefix, std::string* error = nullptr);

// Whether a process with this id runs (or may: one of another user counts as running).
bool processRuns(long pid);

}  // namespace sim
