#include "platform/ns_file_manager.h"

#import <Foundation/Foundation.h>

#include "native_object.h"

namespace platform {

std::string NSHomeDirectory() noexcept {
  @autoreleasepool {
    return fromNSString(::NSHomeDirectory());
  }
}

std::optional<Dictionary> dictionaryWithContentsOfFile(std::string_view path) noexcept {
  try {
    @autoreleasepool {
      NSDictionary* stored = [NSDictionary dictionaryWithContentsOfFile:toNSString(path)];
      Value value;
      if (stored == nil || !toValue(stored, &value)) return std::nullopt;
      if (auto* dictionary = value.getIf<Dictionary>()) return *dictionary;
      return std::nullopt;
    }
  } catch (...) {
    return std::nullopt;
  }
}

bool writeToFileAtomically(const Dictionary& dictionary, std::string_view path) noexcept {
  try {
    @autoreleasepool {
      NSDictionary* native = toPropertyList(Value(dictionary));
      return [native writeToFile:toNSString(path) atomically:YES];
    }
  } catch (...) {
    return false;
  }
}

bool NSFileManager::fileExistsAtPath(std::string_view path) const noexcept {
  @autoreleasepool {
    return [[::NSFileManager defaultManager] fileExistsAtPath:toNSString(path)];
  }
}

bool NSFileManager::createDirectoryAtPathWithIntermediateDirectories(
    std::string_view path) const noexcept {
  @autoreleasepool {
    return [[::NSFileManager defaultManager] createDirectoryAtPath:toNSString(path)
                                       withIntermediateDirectories:YES
                                                        attributes:nil
                                                             error:nil];
  }
}

bool NSFileManager::removeItemAtPath(std::string_view path) const noexcept {
  @autoreleasepool {
    return [[::NSFileManager defaultManager] removeItemAtPath:toNSString(path) error:nil];
  }
}

}  // namespace platform
