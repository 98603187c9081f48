// Foundation's files: the user's home folder, a property-list dictionary read from and written
// to a file, and the file manager's tests and removals.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace platform {

// The home folder of the process's user: /var/mobile for SpringBoard on the phone.
std::string NSHomeDirectory() noexcept;

// The dictionary a property-list file holds (NSDictionary's dictionaryWithContentsOfFile:):
// none when the file is missing, unreadable or not a dictionary. Never throws.
std::optional<Dictionary> dictionaryWithContentsOfFile(std::string_view path) noexcept;

// Writes `dictionary` as a property list to `path` through a temporary file renamed over it, so
// a reader finds the old file or the new one, never a part (writeToFile:atomically:YES).
// Returns false when it could not be written; the old file is then as it was. Never throws.
bool writeToFileAtomically(const Dictionary& dictionary, std::string_view path) noexcept;

class NSFileManager {
 public:
  static NSFileManager* defaultManager() noexcept;
  bool fileExistsAtPath(std::string_view path) const noexcept;
  // Makes the folder and every missing folder above it; true when it exists afterwards.
  bool createDirectoryAtPathWithIntermediateDirectories(std::string_view path) const noexcept;
  // Removes a file; false when it could not (a missing file included).
  bool removeItemAtPath(std::string_view path) const noexcept;

 private:
  NSFileManager() = default;
};

}  // namespace platform
