#include "platform/ns_log.h"

#import <Foundation/Foundation.h>

namespace platform {

void NSLogv(std::string_view format, std::span<const LogArgument> args) noexcept {
  try {
    const std::string message = formatLogMessage(format, args);
    // The message is already formatted: it goes in as an argument, never as a format.
    ::NSLog(@"%s", message.c_str());
  } catch (...) {
    // The log line is lost; the caller carries on.
  }
}

}  // namespace platform
