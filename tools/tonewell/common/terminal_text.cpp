#include "terminal_text.h"

#include <fmt/format.h>

namespace tonewell {

namespace {

// The length of the UTF-8 sequence that starts at `i` and its code point; 0 when none does.
std::size_t decode(std::string_view text, std::size_t i, char32_t& code) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) {
    code = lead;
    return 1;
  }
  const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  if (lead < 0xC2 || lead > 0xF4 || i + length > text.size()) return 0;
  code = lead & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3Fu);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t code = 0;
    const std::size_t length = decode(text, i, code);
    if (length == 0) {
      out += fmt::format("\\x{:02x}", static_cast<unsigned char>(text[i]));
      ++i;
    } else if (code < 0x20 || code == 0x7F) {
      out += fmt::format("\\x{:02x}", static_cast<unsigned>(code));
      i += length;
    } else if (code >= 0x80 && code <= 0x9F) {
      out += fmt::format("\\u{{{:02x}}}", static_cast<unsigned>(code));
      i += length;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string onOneLine(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') {
      out += text[i];
      continue;
    }
    while (i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\t')) ++i;
    const char before = out.empty() ? '\0' : out.back();
    const char after = i + 1 < text.size() ? text[i + 1] : '\0';
    const bool empty = (before == '(' && after == ')') || (before == '{' && after == '}');
    if (!empty) out += ' ';
  }
  return out;
}

std::string printableLines(std::string_view text, std::string_view indent) {
  std::string out;
  for (std::size_t start = 0;;) {
    const std::size_t end = text.find('\n', start);
    out += printable(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return out;
    out += '\n';
    out += indent;
    start = end + 1;
  }
}

}  // namespace tonewell
