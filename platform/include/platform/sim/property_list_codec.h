// Property-list files as the phone stores them (binary or XML), read and written with libplist.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/sim/files.h"
#include "platform/value.h"

namespace sim {

// Parses an XML or binary property list. None for bytes that are neither (the reason goes to
// `error` when given).
std::optional<platform::Value> parsePropertyList(std::span<const std::uint8_t> bytes,
                                                 std::string* error = nullptr);

// The first key of a dictionary property list whose value parsePropertyList cannot give back
// exactly (a date beyond 1901-2038, an unsigned integer above the signed 64-bit range), so that
// writing the list again would change it; none when every value is kept.
std::optional<std::string> firstKeyNotKeptExactly(std::span<const std::uint8_t> bytes);

enum class PropertyListFormat { binary, xml };
std::string serializePropertyList(const platform::Value& value, PropertyListFormat format);

}  // namespace sim
