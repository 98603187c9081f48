// Scalars for YAML: numbers that read back as real numbers, times, and text that YAML can hold.
#pragma once

#include <string>
#include <string_view>

namespace tonewell {

// A real number in the fewest digits to the millionth, with ".0" when whole: "3.0", "-5.2".
std::string yamlNumber(double value);

// Seconds to the microsecond, without trailing zeros: "3.0", "2.875".
std::string yamlSeconds(double t);

// `text` with what YAML cannot hold (control characters but the tab, and the line break when
// `keepLineBreaks`; invalid UTF-8; non-characters) turned into U+FFFD, for a comment or a value.
std::string yamlPrintable(std::string_view text, bool keepLineBreaks = false);

}  // namespace tonewell
