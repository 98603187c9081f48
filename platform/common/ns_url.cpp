#include "platform/ns_url.h"

namespace platform {

std::optional<NSURL> NSURL::URLWithString(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  for (char c : text) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '"' || c == '<' || c == '>' || c == '\\' ||
        c == '^' || c == '`' || c == '{' || c == '|' || c == '}' ||
        static_cast<unsigned char>(c) >= 127) {
      return std::nullopt;
    }
  }
  NSURL url;
  url.text_ = text;
  url.scheme_ = text.substr(0, colon);
  std::string rest = text.substr(colon + 1);
  if (rest.rfind("//", 0) == 0) {
    rest = rest.substr(2);
    const auto end = rest.find_first_of("/?#");
    url.host_ = rest.substr(0, end);
    rest = end == std::string::npos ? "" : rest.substr(end);
  }
  const auto fragment = rest.find('#');
  if (fragment != std::string::npos) rest = rest.substr(0, fragment);
  const auto question = rest.find('?');
  url.path_ = rest.substr(0, question);
  if (question != std::string::npos) url.query_ = rest.substr(question + 1);
  return url;
}

}  // namespace platform
