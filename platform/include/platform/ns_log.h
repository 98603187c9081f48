// NSLog: one line in the system log per message.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "platform/value.h"

namespace platform {

// One argument of a log format, already reduced to what a conversion can print.
struct LogArgument {
  std::variant<std::int64_t, double, const void*, std::string> value;
};

// An object that describes itself for %@.
template <typename T>
concept Describable = requires(const T& t) {
  { t.description() } -> std::convertible_to<std::string>;
};

template <typename T>
LogArgument toLogArgument(const T& arg) {
  using U = std::remove_cvref_t<T>;
  if constexpr (std::is_same_v<U, bool>) {
    return {std::int64_t{arg ? 1 : 0}};
  } else if constexpr (std::is_integral_v<U> || std::is_enum_v<U>) {
    return {static_cast<std::int64_t>(arg)};
  } else if constexpr (std::is_floating_point_v<U>) {
    return {static_cast<double>(arg)};
  } else if constexpr (std::is_convertible_v<const U&, std::string_view>) {
    return {std::string(std::string_view(arg))};
  } else if constexpr (std::is_same_v<U, Value>) {
    return {description(arg)};
  } else if constexpr (std::is_same_v<U, const Value*> || std::is_same_v<U, Value*>) {
    return {arg ? description(*arg) : std::string("(null)")};
  } else if constexpr (std::is_pointer_v<U> && Describable<std::remove_pointer_t<U>>) {
    return {arg ? std::string(arg->description()) : std::string("(null)")};
  } else if constexpr (Describable<U>) {
    return {std::string(arg.description())};
  } else {
    static_assert(std::is_pointer_v<U>, "NSLog cannot print this argument");
    return {static_cast<const void*>(arg)};
  }
}

// Formats `format` printf-style: %d %i %u %x %X %o %c %f %F %e %E %g %G %s %p with their flags,
// width and precision, %@ for an object's description (a host object, given as a pointer, is
// described by describeObject), %% for a percent sign. A missing argument prints nothing; a
// number given for %@ prints its description.
std::string formatLogMessage(std::string_view format, std::span<const LogArgument> args);

// Writes one message to the system log. Never throws.
void NSLogv(std::string_view format, std::span<const LogArgument> args) noexcept;

template <typename... Args>
void NSLog(std::string_view format, const Args&... args) noexcept {
  try {
    const LogArgument converted[] = {toLogArgument(args)..., LogArgument{std::int64_t{0}}};
    NSLogv(format, std::span<const LogArgument>(converted, sizeof...(Args)));
  } catch (...) {
    // Out of memory while converting: the message is lost, the caller carries on.
  }
}

}  // namespace platform
