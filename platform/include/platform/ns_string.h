// NSString operations beyond plain std::string.
#pragma once

#include <optional>
#include <string>

#include "platform/ns_log.h"
#include "platform/value.h"

namespace platform {

enum NSStringEncoding : unsigned { NSUTF8StringEncoding = 4 };

// initWithData:encoding: — the text of `data`, or none when it is not valid in `encoding`.
std::optional<std::string> stringWithDataEncoding(const Data& data, NSStringEncoding encoding);
// dataUsingEncoding:
Data dataUsingEncoding(const std::string& text, NSStringEncoding encoding);
// The number of UTF-16 units, as NSString's length counts; 0 for absent text.
std::size_t length(const std::optional<std::string>& text);

// stringByPaddingToLength:withString:startingAtIndex:
std::string stringByPaddingToLength(const std::string& text, std::size_t length,
                                    const std::string& pad, std::size_t startingAtIndex = 0);

// stringWithFormat:, with the conversions NSLog takes.
template <typename... Args>
std::string stringWithFormat(std::string_view format, const Args&... args) {
  const LogArgument converted[] = {toLogArgument(args)..., LogArgument{std::int64_t{0}}};
  return formatLogMessage(format, std::span<const LogArgument>(converted, sizeof...(Args)));
}

}  // namespace platform
