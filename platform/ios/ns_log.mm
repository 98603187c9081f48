#include "platform/ns_log.h"

#import <Foundation/Foundation.h>

#include "native_object.h"

namespace platform {

void NSLogv(std::string_view format, std::span<const LogArgument> args) noexcept {
  try {
    const std::string message = formatLogMessage(format, args);
    // The message is already formatted: it goes in as an argument, never as a format; as an
    // NSString, since the phone's NSLog reads a %s argument as MacRoman, not UTF-8.
    ::NSLog(@"%@", toNSString(message));
  } catch (...) {
    // The log line is lost; the caller carries on.
  }
}

}  // namespace platform
