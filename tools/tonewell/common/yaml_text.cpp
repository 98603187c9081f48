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

std::string yamlPrintable(std::string_view text, bool keepLineBreaks) {
  // What YAML cannot hold turned into U+FFFD, so that a broken log line still gives a scenario
  // `run` reads.
  std::string out;
  forEachCharacter(
      text,
      [&](char32_t code, std::string_view bytes) {
        const bool holdable = code == 0x9 || (keepLineBreaks && code == 0xA) ||
                              (code >= 0x20 && code <= 0x7E) || code == 0x85 ||
                              (code >= 0xA0 && code <= 0xFFFD && code != 0xFEFF) || code >= 0x10000;
        if (holdable) {
          out.append(bytes);
        } else {
          out += "\xEF\xBF\xBD";
        }
      },
      [&](unsigned char) { out += "\xEF\xBF\xBD"; });
  return out;
}

std::string yamlSeconds(double t) {
  std::string text = fmt::format("{:.6f}", t);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text += '0';
  return text;
}

}  // namespace tonewell
