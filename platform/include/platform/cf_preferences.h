// CoreFoundation preferences: one domain of keys and property-list values per application
// identifier, for a user and a host.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/value.h"

namespace platform {

inline constexpr std::string_view kCFPreferencesCurrentUser = "kCFPreferencesCurrentUser";
inline constexpr std::string_view kCFPreferencesAnyHost = "kCFPreferencesAnyHost";

// The keys stored in `domain`, owned by the caller. A domain with no stored key gives an empty
// list; a domain that exists but cannot be read (unreadable, corrupt, not a dictionary) gives
// none. Never throws.
std::optional<std::vector<std::string>> CFPreferencesCopyKeyList(std::string_view domain,
                                                                 std::string_view user,
                                                                 std::string_view host) noexcept;

// The values of `keys` in `domain`, keys absent from the domain left out; none when the domain
// cannot be read. Never throws.
std::optional<Dictionary> CFPreferencesCopyMultiple(const std::vector<std::string>& keys,
                                                    std::string_view domain, std::string_view user,
                                                    std::string_view host) noexcept;

// Stores `value` under `key` in `domain`; a null `value` removes the key. The change is written
// at once, atomically: a concurrent reader sees the old domain or the new one. Returns false
// when the domain could not be written (then nothing changed).
bool CFPreferencesSetValue(std::string_view key, const Value* value, std::string_view domain,
                           std::string_view user, std::string_view host) noexcept;

}  // namespace platform
