#include "mail_parser.h"

#include <gmime/gmime.h>

namespace testing_support {

ParsedMail parseMail(const std::string& text) {
  g_mime_init();
  ParsedMail mail;
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  g_object_unref(stream);
  if (message == nullptr) return mail;
  mail.subject = g_mime_message_get_subject(message);
  char* to = internet_address_list_to_string(g_mime_message_get_to(message), nullptr, FALSE);
  mail.to = to;
  g_free(to);
  GMimeObject* root = g_mime_message_get_mime_part(message);
  if (GMIME_IS_MULTIPART(root)) {
    GMimeMultipart* parts = GMIME_MULTIPART(root);
    for (int i = 0; i < g_mime_multipart_get_count(parts); ++i) {
      GMimeObject* part = g_mime_multipart_get_part(parts, i);
      if (GMIME_IS_TEXT_PART(part) && !g_mime_part_get_filename(GMIME_PART(part))) {
        char* body = g_mime_text_part_get_text(GMIME_TEXT_PART(part));
        mail.body = body;
        g_free(body);
      } else if (GMIME_IS_PART(part)) {
        mail.attachmentName = g_mime_part_get_filename(GMIME_PART(part));
        char* type = g_mime_content_type_get_mime_type(g_mime_object_get_content_type(part));
        mail.attachmentType = type;
        g_free(type);
        GMimeStream* out = g_mime_stream_mem_new();
        g_mime_data_wrapper_write_to_stream(g_mime_part_get_content(GMIME_PART(part)), out);
        GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
        mail.attachment.assign(reinterpret_cast<const char*>(bytes->data), bytes->len);
        g_object_unref(out);
      }
    }
  }
  g_object_unref(message);
  return mail;
}

}  // namespace testing_support
