#include "terminal_text.h"

#include <fmt/format.h>

#include "utf8_text.h"

namespace tonewell {

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  forEachCharacter(
      text,
      [&](char32_t code, std::string_view bytes) {
        if (code < 0x20 || code == 0x7F) {
          out += fmt::format("\\x{:02x}", static_cast<unsigned>(code));
        } else if (code >= 0x80 && code <= 0x9F) {
          out += fmt::format("\\u{{{:02x}}}", static_cast<unsigned>(code));
        } else {
          out.append(bytes);
        }
      },
      [&](unsigned char byte) { out += fmt::format("\\x{:02x}", byte); });
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
