// Reading text as UTF-8 (utfcpp), as the command's readers and writers of text need it.
#pragma once

#include <utf8.h>

#include <cstddef>
#include <string_view>

namespace tonewell {

// Goes through `text` in order: `character(code, bytes)` for each UTF-8 character, `invalid(byte)`
// for each byte that begins none (an overlong form, a surrogate, a code point past U+10FFFF, a
// sequence cut short), after which the reading goes on at the next byte.
template <typename Character, typename Invalid>
void forEachCharacter(std::string_view text, Character character, Invalid invalid) {
  const char* at = text.data();
  const char* const end = at + text.size();
  while (at != end) {
    const char* const bad = utf8::find_invalid(at, end);
    while (at != bad) {
      const char* const start = at;
      const auto code = static_cast<char32_t>(utf8::unchecked::next(at));
      character(code, std::string_view(start, static_cast<std::size_t>(at - start)));
    }
    if (bad != end) {
      invalid(static_cast<unsigned char>(*bad));
      at = bad + 1;
    }
  }
}

}  // namespace tonewell
