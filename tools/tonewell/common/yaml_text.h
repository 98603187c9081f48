// Scalars written into YAML by hand: numbers that read back as real numbers, times, and text that
// YAML can hold.
#pragma once

#include <string>
#include <string_view>

namespace tonewell {

// A real number in the fewest digits to the millionth, with ".0" when whole: "3.0", "-5.2".
std::string yamlNumber(double value);

// Seconds to the microsecond, without trailing zeros: "3.0", "2.875".
std::string yamlSeconds(double t);

// `text` with what YAML cannot hold (control characters but the tab, invalid UTF-8,
// non-characters) turned into U+FFFD, for a comment or a plain value.
std::string yamlPrintable(std::string_view text);

// Appends `text` as a double-quoted YAML string, written in place (a log line may be long), with
// what YAML cannot hold turned into U+FFFD.
void appendYamlString(std::string& out, std::string_view text);

}  // namespace tonewell
