#include "platform/ns_string.h"

namespace platform {

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool validUtf8(const Data& d) {
  std::size_t i = 0;
  while (i < d.size()) {
    const std::uint8_t c = d[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    int extra;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0)
      extra = 1, cp = c & 0x1F;
    else if ((c & 0xF0) == 0xE0)
      extra = 2, cp = c & 0x0F;
    else if ((c & 0xF8) == 0xF0)
      extra = 3, cp = c & 0x07;
    else
      return false;
    if (i + static_cast<std::size_t>(extra) >= d.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      const std::uint8_t cc = d[i + static_cast<std::size_t>(k)];
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

}  // namespace

std::optional<std::string> stringWithDataEncoding(const Data& data, NSStringEncoding encoding) {
  if (encoding != NSUTF8StringEncoding || !validUtf8(data)) return std::nullopt;
  return std::string(data.begin(), data.end());
}

Data dataUsingEncoding(const std::string& text, NSStringEncoding) {
  return Data(text.begin(), text.end());
}

std::size_t length(const std::optional<std::string>& text) {
  if (!text) return 0;
  std::size_t units = 0;
  for (unsigned char c : *text) {
    if ((c & 0xC0) != 0x80) units += (c >= 0xF0) ? 2 : 1;  // four-byte forms are surrogate pairs
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
