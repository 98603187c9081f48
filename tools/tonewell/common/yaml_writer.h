// Writes one YAML document with libyaml's emitter: the layout, quoting and escaping are the
// library's. Block collections by default; `flow` ones ([a, b], {k: v}) for short lists.
#pragma once

#include <yaml.h>

#include <string>
#include <string_view>

namespace tonewell {

class YamlWriter {
 public:
  YamlWriter();
  ~YamlWriter();
  YamlWriter(const YamlWriter&) = delete;
  YamlWriter& operator=(const YamlWriter&) = delete;

  enum class Style { block, flow };
  YamlWriter& beginMapping(Style style = Style::block);
  YamlWriter& endMapping();
  YamlWriter& beginSequence(Style style = Style::block);
  YamlWriter& endSequence();
  // A key, number or word, written as it is where YAML reads it back the same (else quoted).
  YamlWriter& plain(std::string_view text);
  // Any text, double-quoted and escaped.
  YamlWriter& quoted(std::string_view text);
  // Either way, what YAML cannot hold (invalid UTF-8, control characters but the tab and the line
  // break, non-characters) is turned into U+FFFD first.

  // The document, after the root collection has ended.
  std::string finish();

 private:
  void scalar(std::string_view text, yaml_scalar_style_t style);
  void emit(yaml_event_t& event, bool initialized);

  yaml_emitter_t emitter_;
  std::string out_;
};

}  // namespace tonewell
