// Property-list files as the phone stores them (binary or XML), read and written with libplist.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/value.h"

namespace sim {

// Parses an XML or binary property list. None for bytes that are neither (the reason goes to
// `error` when given).
std::optional<platform::Value> parsePropertyList(std::span<const std::uint8_t> bytes,
                                                 std::string* error = nullptr);

enum class PropertyListFormat { binary, xml };
std::string serializePropertyList(const platform::Value& value, PropertyListFormat format);

// Reads a whole file; none when it cannot be opened or read (`error` says why).
std::optional<std::string> readFile(const std::string& path, std::string* error = nullptr);

// Writes `bytes` to a temporary file beside `path`, flushes it and renames it over `path`, so a
// reader sees the old file or the new one, never a part. False (and `error`) on failure, with
// `path` untouched.
bool writeFileAtomically(const std::string& path, std::string_view bytes,
                         std::string* error = nullptr);

}  // namespace sim
