#include "platform/ns_string.h"

#include <utf8/unchecked.h>

namespace platform {

std::optional<std::string> stringWithDataEncoding(const Data& data, NSStringEncoding encoding) {
  // Strict, as the phone: no overlong forms, no surrogates, nothing above U+10FFFF.
  if (encoding != NSUTF8StringEncoding || !utf8::is_valid(data.begin(), data.end())) {
    return std::nullopt;
  }
  return std::string(data.begin(), data.end());
}

Data dataUsingEncoding(const std::string& text, NSStringEncoding) {
  return Data(text.begin(), text.end());
}

std::size_t length(const std::optional<std::string>& text) {
  if (!text) return 0;
  // UTF-16 units, as the phone counts them: characters beyond the first plane are surrogate pairs;
  // a byte that does not decode counts once, as the replacement character it would become.
  std::size_t units = 0;
  for (auto it = text->begin(); it != text->end();) {
    const auto invalid = utf8::find_invalid(it, text->end());
    while (it != invalid) units += utf8::unchecked::next(it) >= 0x10000 ? 2 : 1;
    if (it != text->end()) ++units, ++it;
  }
  return units;
}

std::string stringByPaddingToLength(const std::string& text, std::size_t length,
                                    const std::string& pad, std::size_t startingAtIndex) {
  if (text.size() >= length) return text.substr(0, length);
  std::string out = text;
  if (pad.empty()) return out;
  std::size_t i = startingAtIndex % pad.size();
  while (out.size() < length) {
    out += pad[i];
    i = (i + 1) % pad.size();
  }
  return out;
}

}  // namespace platform
