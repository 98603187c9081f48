// printf-style formatting of a format string whose arguments the emulated caller passed
// variadically: each conversion reads its argument as the architecture passes it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "abi.h"

namespace emulator {

class Runtime;

// Formats `format`, reading each argument from `call` (already at its variadic arguments). `%@`
// asks `describe` for the object's text; `%s` reads a C string with `readString`.
std::string formatVariadic(std::string_view format, NativeCall& call,
                           const std::function<std::string(Address)>& describe,
                           const std::function<std::string(Address)>& readString);

}  // namespace emulator
