#include "yaml_text.h"

#include <fmt/format.h>

#include <cmath>

#include "utf8_text.h"

namespace tonewell {

std::string yamlNumber(double value) {
  // Whole numbers keep a ".0" so that they read back as real numbers.
  const double shown = std::abs(value) < 1e9 ? std::round(value * 1e6) / 1e6 : value;
  std::string text = fmt::format("{}", shown);
  if (text.find_first_of(".en") == std::string::npos) text += ".0";
  return text;
}

// Appends `text` to `out`, with what YAML cannot hold (control characters but the tab, invalid
// UTF-8, non-characters) turned into U+FFFD, so that a broken log line still gives a scenario
// `run` reads; `quote` also escapes it for a double-quoted YAML string.
namespace {

void appendPrintable(std::string& out, std::string_view text, bool quote) {
  forEachCharacter(
      text,
      [&](char32_t code, std::string_view bytes) {
        const bool printable =
            code == 0x9 || (quote && code == 0xA) || (code >= 0x20 && code <= 0x7E) ||
            code == 0x85 || (code >= 0xA0 && code <= 0xFFFD && code != 0xFEFF) || code >= 0x10000;
        if (!printable) {
          out += "\xEF\xBF\xBD";
        } else if (quote && (code == '"' || code == '\\' || code == '\t' || code == '\n')) {
          out += code == '\t' ? "\\t" : code == '\n' ? "\\n" : code == '"' ? "\\\"" : "\\\\";
        } else {
          out.append(bytes);
        }
      },
      [&](unsigned char) { out += "\xEF\xBF\xBD"; });
}

}  // namespace

std::string yamlPrintable(std::string_view text) {
  std::string out;
  appendPrintable(out, text, false);
  return out;
}

void appendYamlString(std::string& out, std::string_view text) {
  out += '"';
  appendPrintable(out, text, true);
  out += '"';
}

std::string yamlSeconds(double t) {
  std::string text = fmt::format("{:.6f}", t);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text += '0';
  return text;
}

}  // namespace tonewell
