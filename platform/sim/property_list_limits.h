// What is checked in a property list before libplist reads it: a binary one is read by following
// its references, so one small file whose containers point many times to the same container
// stands for a tree that doubles at each level; and libplist aborts on a key holding NUL.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace sim {

// The most values (dictionary keys included) a property list may stand for once every
// reference is followed.
inline constexpr std::uint64_t kMostPropertyListValues = 250'000;

// Why the property list must not be handed to libplist, or none. Counts what a binary list
// expands to without expanding it, and refuses past `mostValues`; an XML list, which has no
// references, is refused when it has room for more values than that.
std::optional<std::string> refusedBeforeParsing(std::span<const std::uint8_t> bytes,
                                                std::uint64_t mostValues = kMostPropertyListValues);

}  // namespace sim
