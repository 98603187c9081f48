// Text from outside (a log, a scenario, a server's reply, a web page) as the command shows it on
// a terminal: control characters and bytes that are not UTF-8 escaped, so that nothing it holds
// can move the cursor, clear the screen or retitle the window.
#pragma once

#include <string>
#include <string_view>

namespace tonewell {

// `text` with every C0 and C1 control character (and DEL) written as \xNN or \u{NN}, and every
// byte that does not decode as UTF-8 as \xNN; the rest as it is.
std::string printable(std::string_view text);

// A text that spans lines (the phone's description of a collection) on one line: each line break
// with the indentation after it as one space, or as nothing inside an empty "()" or "{}".
std::string onOneLine(std::string_view text);

// A message that spans lines (the phone's descriptions of collections do): each line printable,
// the lines after the first starting with `indent`.
std::string printableLines(std::string_view text, std::string_view indent);

}  // namespace tonewell
