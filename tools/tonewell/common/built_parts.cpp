#include "built_parts.h"

#include <cstdlib>
#include <filesystem>

namespace tonewell {

std::string besideCommand(const char* override, const char* name) {
  if (const char* path = std::getenv(override); path && *path) return path;
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return name;
  return (self.parent_path().parent_path() / "lib" / name).string();
}

}  // namespace tonewell
