// Reads a mail message back with GMime, as a mail client would.
#pragma once

#include <string>

namespace testing_support {

struct ParsedMail {
  std::string subject, to, body, attachmentName, attachmentType, attachment;
};

ParsedMail parseMail(const std::string& text);

}  // namespace testing_support
