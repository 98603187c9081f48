// The file manager's one shared object; its calls go to the platform's file system.
#include "platform/ns_file_manager.h"

namespace platform {

NSFileManager* NSFileManager::defaultManager() noexcept {
  static NSFileManager manager;
  return &manager;
}

}  // namespace platform
