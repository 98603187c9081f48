// The mail composer: builds an RFC 5322 message with GMime, and saves, queues and delivers it
// (over SMTP with libcurl when TONEWELL_SMTP_URL names a server).
#include "platform/message_ui.h"

#include <curl/curl.h>
#include <gmime/gmime.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "phone_state.h"
#include "platform/sim/files.h"
#include "platform/sim/phone.h"
#include "platform/sim/screen.h"

namespace platform {

namespace {

void initGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

template <typename T>
struct GObjectPtr {
  T* p;
  explicit GObjectPtr(T* pointer) : p(pointer) {}
  ~GObjectPtr() {
    if (p) g_object_unref(p);
  }
  GObjectPtr(const GObjectPtr&) = delete;
  GObjectPtr& operator=(const GObjectPtr&) = delete;
};

// "<home>/Mail/<name>", made with every folder above it; empty (and `error`) when it cannot be.
std::string mailFolder(const char* name, std::string* error) {
  const std::string folder = sim::homeFolder() + "/Mail/" + name;
  return sim::makeFolders(folder, error) ? folder : std::string();
}

// A message's file name without its extension: when it was stored and to whom.
std::string messageStem(const std::vector<std::string>& to) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  std::string stem = stamp;
  if (!to.empty()) {
    stem += "-";
    for (char c : to.front()) stem += (c == '/' || c == '\0') ? '_' : c;
  }
  return stem;
}

// Moves a stored message into `folder` under a name no other message has.
std::optional<std::string> moveMessage(const std::string& from, const std::string& folder,
                                       const std::string& stem) {
  for (int n = 1; n < 10000; ++n) {
    const std::string to = folder + "/" + stem + (n == 1 ? "" : "-" + std::to_string(n)) + ".eml";
    // link() never replaces: a name that is taken fails, and the next one is tried.
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return to;
    }
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

// Splits "text/plain" into its type and subtype.
std::pair<std::string, std::string> splitMimeType(const std::string& mimeType) {
  const auto slash = mimeType.find('/');
  if (slash == std::string::npos) return {"application", "octet-stream"};
  return {mimeType.substr(0, slash), mimeType.substr(slash + 1)};
}

// The server's last reply line of failure ("550 5.1.1 mailbox unavailable"), as curl's debug
// stream shows what came in.
int recordReply(CURL*, curl_infotype type, char* data, size_t size, void* out) {
  if (type != CURLINFO_HEADER_IN) return 0;
  std::string line(data, size);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.size() >= 3 && (line[0] == '4' || line[0] == '5')) {
    *static_cast<std::string*>(out) = line;
  }
  return 0;
}

struct Upload {
  const std::string* text;
  std::size_t offset = 0;
};

size_t readUpload(char* buffer, size_t size, size_t count, void* userdata) {
  auto* upload = static_cast<Upload*>(userdata);
  const size_t n = std::min(size * count, upload->text->size() - upload->offset);
  std::memcpy(buffer, upload->text->data() + upload->offset, n);
  upload->offset += n;
  return n;
}

// The most of a server's reply a failure repeats.
constexpr std::size_t kLongestReply = 300;

// Delivers `text` over SMTP within `seconds` in all; "" on success, else the reason for the
// person.
std::string deliver(const std::string& url, const std::string& from,
                    const std::vector<std::string>& to, const std::string& text, long seconds) {
  // Only a mail server: another scheme (http://, file://) would "send" the mail elsewhere.
  if (url.rfind("smtp://", 0) != 0 && url.rfind("smtps://", 0) != 0) {
    return "The mail server address \"" + url + "\" is not smtp:// or smtps://.";
  }
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return "The mail could not be sent: no connection could be made.";
  curl_slist* recipients = nullptr;
  for (const auto& r : to) recipients = curl_slist_append(recipients, ("<" + r + ">").c_str());
  Upload upload{&text};
  // The URL's path is the name the phone gives itself in EHLO; servers refuse an empty one.
  const auto authority = url.find("://");
  const bool hasPath =
      authority != std::string::npos && url.find('/', authority + 3) != std::string::npos;
  const std::string target = hasPath ? url : url + "/phone.tonewell.example.com";
  curl_easy_setopt(curl, CURLOPT_URL, target.c_str());
  curl_easy_setopt(curl, CURLOPT_MAIL_FROM, ("<" + from + ">").c_str());
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, readUpload);
  curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, std::min(15L, seconds));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, seconds);
  std::string reply;
  curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, recordReply);
  curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &reply);
  curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);  // feeds the debug function; nothing is printed
  const CURLcode result = curl_easy_perform(curl);
  curl_off_t connected = 0;
  curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connected);
  if (result != CURLE_OK) {
    // Closing, libcurl says goodbye to the server and waits up to two minutes for its answer:
    // after a failure the connection is shut first, so the whole delivery keeps its limit.
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK &&
        socket != CURL_SOCKET_BAD) {
      ::shutdown(socket, SHUT_RDWR);
    }
  }
  curl_slist_free_all(recipients);
  curl_easy_cleanup(curl);
  if (result != CURLE_OK && !reply.empty()) {
    if (reply.size() > kLongestReply) reply = reply.substr(0, kLongestReply) + "...";
    return "The mail server refused the message: " + reply;
  }
  const std::string why = curl_easy_strerror(result);
  switch (result) {
    case CURLE_OK:
      return {};
    case CURLE_OPERATION_TIMEDOUT:
      if (connected > 0) {
        return "The mail server stopped answering: the message was not taken within " +
               std::to_string(seconds) + " s.";
      }
      return "The mail server could not be reached: " + why + ".";
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      return "The mail server could not be reached: " + why + ".";
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      return "The connection to the mail server was lost before it took the message: " + why + ".";
    default:
      return "The mail server refused the message: " + why + ".";
  }
}

// Seconds a delivery may take in all: the page's limit when one is set, else a minute.
long mailTimeout() {
  const double limit = sim::webTimeoutLimit();
  return limit > 0 ? std::max(1L, std::lround(limit)) : 60L;
}

}  // namespace

bool MFMailComposeViewController::canSendMail() {
  return sim::mailAccount().has_value();
}

std::string MFMailComposeViewController::messageText() const {
  initGMime();
  const std::string from = sim::mailAccount().value_or("person@example.com");
  GObjectPtr<GMimeMessage> message(g_mime_message_new(TRUE));
  g_mime_message_add_mailbox(message.p, GMIME_ADDRESS_TYPE_FROM, nullptr, from.c_str());
  for (const auto& to : to_) {
    g_mime_message_add_mailbox(message.p, GMIME_ADDRESS_TYPE_TO, nullptr, to.c_str());
  }
  g_mime_message_set_subject(message.p, subject_.c_str(), "utf-8");
  GDateTime* now = g_date_time_new_now_utc();
  g_mime_message_set_date(message.p, now);
  g_date_time_unref(now);
  char* messageId = g_mime_utils_generate_message_id("tonewell.example.com");
  g_mime_message_set_message_id(message.p, messageId);
  g_free(messageId);

  GObjectPtr<GMimeTextPart> text(g_mime_text_part_new_with_subtype(bodyIsHTML_ ? "html" : "plain"));
  g_mime_text_part_set_text(text.p, body_.c_str());
  if (attachments_.empty()) {
    g_mime_message_set_mime_part(message.p, GMIME_OBJECT(text.p));
  } else {
    GObjectPtr<GMimeMultipart> mixed(g_mime_multipart_new_with_subtype("mixed"));
    g_mime_multipart_add(mixed.p, GMIME_OBJECT(text.p));
    for (const auto& attachment : attachments_) {
      const auto [type, subtype] = splitMimeType(attachment.mimeType);
      GObjectPtr<GMimePart> part(g_mime_part_new_with_type(type.c_str(), subtype.c_str()));
      g_mime_part_set_filename(part.p, attachment.fileName.c_str());
      if (type == "text") {
        g_mime_object_set_content_type_parameter(GMIME_OBJECT(part.p), "charset", "utf-8");
      }
      GObjectPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(
          reinterpret_cast<const char*>(attachment.data.data()), attachment.data.size()));
      GObjectPtr<GMimeDataWrapper> content(
          g_mime_data_wrapper_new_with_stream(stream.p, GMIME_CONTENT_ENCODING_DEFAULT));
      g_mime_part_set_content(part.p, content.p);
      g_mime_part_set_content_encoding(part.p, GMIME_CONTENT_ENCODING_BASE64);
      g_mime_multipart_add(mixed.p, GMIME_OBJECT(part.p));
    }
    g_mime_message_set_mime_part(message.p, GMIME_OBJECT(mixed.p));
  }
  GMimeFormatOptions* options = g_mime_format_options_clone(nullptr);
  g_mime_format_options_set_newline_format(options, GMIME_NEWLINE_FORMAT_DOS);
  char* raw = g_mime_object_to_string(GMIME_OBJECT(message.p), options);
  g_mime_format_options_free(options);
  std::string result = raw ? raw : "";
  g_free(raw);
  return result;
}

void MFMailComposeViewController::personChose(MFMailComposeResult choice) {
  if (finished_) return;
  finished_ = true;
  int result = choice;
  std::shared_ptr<NSError> error;
  try {
    if (choice == MFMailComposeResultSaved || choice == MFMailComposeResultSent) {
      const std::string text = messageText();
      const std::string stem = messageStem(to_);
      std::string why;
      const std::string folder =
          mailFolder(choice == MFMailComposeResultSaved ? "Drafts" : "Outbox", &why);
      // Created exclusively: a message never replaces another stored in the same second.
      const std::optional<std::string> stored =
          folder.empty() ? std::nullopt
                         : sim::createFileExclusively(folder, stem, ".eml", text, &why);
      if (!stored) {
        result = MFMailComposeResultFailed;
        error = std::make_shared<NSError>("MFMailComposeErrorDomain", 0,
                                          "The message could not be stored: " + why);
      } else {
        storedPath_ = *stored;
      }
      // A queued message is delivered at once when a mail server is configured.
      if (!storedPath_.empty() && choice == MFMailComposeResultSent) {
        const char* url = std::getenv("TONEWELL_SMTP_URL");
        if (url && *url) {
          const std::string failure = deliver(
              url, sim::mailAccount().value_or("person@example.com"), to_, text, mailTimeout());
          if (failure.empty()) {
            const std::string sent = mailFolder("Sent", &why);
            if (!sent.empty()) {
              if (auto moved = moveMessage(storedPath_, sent, stem)) storedPath_ = *moved;
            }
          } else {
            result = MFMailComposeResultFailed;
            error = std::make_shared<NSError>("MFMailComposeErrorDomain", 1, failure);
          }
        }
      }
    }
  } catch (...) {
    result = MFMailComposeResultFailed;
    error.reset();
  }
  if (delegate_)
    delegate_->mailComposeControllerDidFinishWithResultError(this, result, error.get());
}

}  // namespace platform
