// UIWebView: loads the page for real with libcurl on the web thread, and reports to its delegate
// on the main run loop.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <mutex>

#include <utf8/unchecked.h>

#include "phone_state.h"
#include "platform/ui_kit.h"
#include "queues.h"

namespace platform {

struct UIWebView::Load {
  std::string url;
  double timeout = 60;
  std::vector<std::string> connectTo;
  std::string trustedCertificates;
  std::atomic<bool> cancelled{false};
  // The outcome, written on the web thread before the main run loop is told.
  bool ok = false;
  bool tooLarge = false;
  long status = 0;
  std::string title;
  std::string error;
};

namespace {

TaskRunner& webThread() {
  return *sim::namedQueue("WebThread");
}

constexpr std::size_t kLargestPage = 8u << 20;

struct Body {
  std::string bytes;
  bool tooLarge = false;
};

size_t appendBody(char* data, size_t size, size_t count, void* out) {
  auto* body = static_cast<Body*>(out);
  const size_t n = size * count;
  if (body->bytes.size() + n > kLargestPage) {  // a page larger than 8 MiB is refused
    body->tooLarge = true;
    return 0;
  }
  body->bytes.append(data, n);
  return n;
}

void appendUtf8(std::string& out, unsigned long code) {
  if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
  utf8::unchecked::append(static_cast<std::uint32_t>(code), std::back_inserter(out));
}

// A title as a browser shows it: character references decoded, white space collapsed.
std::string decodedTitle(const std::string& raw) {
  static const std::pair<const char*, const char*> named[] = {
      {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}, {"nbsp", " "}};
  std::string out;
  for (std::size_t i = 0; i < raw.size();) {
    const char c = raw[i];
    if (c == '&') {
      const std::size_t semi = raw.find(';', i);
      if (semi != std::string::npos && semi - i <= 10) {
        const std::string name = raw.substr(i + 1, semi - i - 1);
        bool done = false;
        if (name.size() > 1 && name[0] == '#') {
          const bool hex = name[1] == 'x' || name[1] == 'X';
          const std::string digits = name.substr(hex ? 2 : 1);
          char* end = nullptr;
          const unsigned long code = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
          if (!digits.empty() && end && *end == '\0') {
            appendUtf8(out, code);
            done = true;
          }
        } else {
          for (const auto& [n, text] : named) {
            if (name == n) {
              out += text;
              done = true;
            }
          }
        }
        if (done) {
          i = semi + 1;
          continue;
        }
      }
    }
    const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
    if (space) {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
    ++i;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string titleOf(const std::string& html) {
  std::string lower(html);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto open = lower.find("<title>");
  if (open == std::string::npos) return {};
  const auto close = lower.find("</title>", open);
  if (close == std::string::npos) return {};
  return decodedTitle(html.substr(open + 7, close - open - 7));
}

void fetch(UIWebView::Load& load) {
  static std::once_flag init;
  std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    load.error = "The web view could not start a connection.";
    return;
  }
  Body body;
  curl_slist* connectTo = nullptr;
  for (const auto& rule : load.connectTo) connectTo = curl_slist_append(connectTo, rule.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, load.url.c_str());
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(load.timeout * 1000));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  if (connectTo) curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connectTo);
  if (!load.trustedCertificates.empty()) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, load.trustedCertificates.c_str());
  }
  const CURLcode result = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &load.status);
  if (result == CURLE_OK) {
    // An error page loads as a page does (the web view shows it); its status tells.
    load.ok = true;
    load.title = titleOf(body.bytes);
  } else if (body.tooLarge) {
    load.error = "The page is larger than 8 MiB, the most the web view loads.";
  } else if (result == CURLE_OPERATION_TIMEDOUT) {
    char text[96];
    std::snprintf(text, sizeof text, "No answer within %g s.", load.timeout);
    load.error = text;
  } else {
    load.error = curl_easy_strerror(result);
  }
  curl_slist_free_all(connectTo);
  curl_easy_cleanup(curl);
}

}  // namespace

UIWebView::~UIWebView() {
  stopLoading();
}

void UIWebView::loadRequest(const NSURLRequest& request) {
  stopLoading();
  auto load = std::make_shared<Load>();
  load->url = request.URL().absoluteString();
  requestURL_ = load->url;
  load->timeout = request.timeoutInterval();
  {
    auto& screen = sim::currentPhone().screen;
    std::lock_guard lock(screen.mutex);
    for (const auto& [from, to] : screen.routes) load->connectTo.push_back(from + ":" + to);
    load->trustedCertificates = screen.trustedCertificates;
    if (screen.webTimeoutLimit > 0) load->timeout = std::min(load->timeout, screen.webTimeoutLimit);
  }
  load_ = load;
  std::weak_ptr<UIWebView> self = std::dynamic_pointer_cast<UIWebView>(weak_from_this().lock());
  webThread().postDelayedTask(
      [load, self] {
        if (load->cancelled) return;
        fetch(*load);
        mainRunLoop().postDelayedTask(
            [load, self] {
              if (auto view = self.lock()) view->finished(load);
            },
            Duration{0});
      },
      Duration{0});
}

void UIWebView::stopLoading() {
  if (load_) load_->cancelled = true;
  load_.reset();
}

void UIWebView::finished(const std::shared_ptr<Load>& load) {
  if (load->cancelled || load != load_) return;
  load_.reset();
  httpStatus_ = load->status;
  if (load->ok) {
    loaded_ = true;
    pageTitle_ = load->title;
    if (delegate_) delegate_->webViewDidFinishLoad(this);
  } else {
    lastError_ = load->error;
    const NSError error("NSURLErrorDomain", -1004, load->error);
    if (delegate_) delegate_->webViewDidFailLoadWithError(this, &error);
  }
}

}  // namespace platform
