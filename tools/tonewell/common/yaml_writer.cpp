#include "yaml_writer.h"

#include <stdexcept>

#include "yaml_text.h"

namespace tonewell {

namespace {

yaml_char_t* bytes(std::string_view text) {
  return reinterpret_cast<yaml_char_t*>(const_cast<char*>(text.data()));
}

}  // namespace

YamlWriter::YamlWriter() {
  yaml_emitter_initialize(&emitter_);
  yaml_emitter_set_output(
      &emitter_,
      [](void* out, unsigned char* buffer, std::size_t size) {
        static_cast<std::string*>(out)->append(reinterpret_cast<const char*>(buffer), size);
        return 1;
      },
      &out_);
  yaml_emitter_set_unicode(&emitter_, 1);
  yaml_emitter_set_width(&emitter_, -1);  // a long log line stays on one line
  yaml_emitter_set_indent(&emitter_, 2);
  yaml_event_t event;
  emit(event, yaml_stream_start_event_initialize(&event, YAML_UTF8_ENCODING));
  emit(event, yaml_document_start_event_initialize(&event, nullptr, nullptr, nullptr, 1));
}

YamlWriter::~YamlWriter() {
  yaml_emitter_delete(&emitter_);
}

YamlWriter& YamlWriter::beginMapping(Style style) {
  yaml_event_t event;
  emit(event, yaml_mapping_start_event_initialize(
                  &event, nullptr, nullptr, 1,
                  style == Style::flow ? YAML_FLOW_MAPPING_STYLE : YAML_BLOCK_MAPPING_STYLE));
  return *this;
}

YamlWriter& YamlWriter::endMapping() {
  yaml_event_t event;
  emit(event, yaml_mapping_end_event_initialize(&event));
  return *this;
}

YamlWriter& YamlWriter::beginSequence(Style style) {
  yaml_event_t event;
  emit(event, yaml_sequence_start_event_initialize(
                  &event, nullptr, nullptr, 1,
                  style == Style::flow ? YAML_FLOW_SEQUENCE_STYLE : YAML_BLOCK_SEQUENCE_STYLE));
  return *this;
}

YamlWriter& YamlWriter::endSequence() {
  yaml_event_t event;
  emit(event, yaml_sequence_end_event_initialize(&event));
  return *this;
}

YamlWriter& YamlWriter::plain(std::string_view text) {
  scalar(text, YAML_PLAIN_SCALAR_STYLE);
  return *this;
}

YamlWriter& YamlWriter::quoted(std::string_view text) {
  scalar(text, YAML_DOUBLE_QUOTED_SCALAR_STYLE);
  return *this;
}

void YamlWriter::scalar(std::string_view text, yaml_scalar_style_t style) {
  const std::string holdable = yamlPrintable(text, /*keepLineBreaks=*/true);
  yaml_event_t event;
  emit(event, yaml_scalar_event_initialize(&event, nullptr, nullptr, bytes(holdable),
                                           static_cast<int>(holdable.size()), 1, 1, style));
}

std::string YamlWriter::finish() {
  yaml_event_t event;
  emit(event, yaml_document_end_event_initialize(&event, 1));
  emit(event, yaml_stream_end_event_initialize(&event));
  return std::move(out_);
}

// The events are well formed by construction and the text is cleaned before: a failure here is
// the program's own fault.
void YamlWriter::emit(yaml_event_t& event, bool initialized) {
  if (!initialized || !yaml_emitter_emit(&emitter_, &event)) {
    throw std::logic_error(std::string("YAML emitter: ") +
                           (emitter_.problem ? emitter_.problem : "cannot make the event"));
  }
}

}  // namespace tonewell
