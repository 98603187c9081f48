// UIWebView: loads the page for real with libcurl on the web thread, and reports to its delegate
// on the main run loop.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>

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
  std::string title;
  std::string error;
};

namespace {

TaskRunner& webThread() {
  return *sim::namedQueue("WebThread");
}

size_t appendBody(char* data, size_t size, size_t count, void* out) {
  auto* body = static_cast<std::string*>(out);
  const size_t n = size * count;
  if (body->size() + n > (8u << 20)) return 0;  // a page larger than 8 MiB is refused
  body->append(data, n);
  return n;
}

std::string titleOf(const std::string& html) {
  std::string lower(html);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto open = lower.find("<title>");
  if (open == std::string::npos) return {};
  const auto close = lower.find("</title>", open);
  if (close == std::string::npos) return {};
  return html.substr(open + 7, close - open - 7);
}

void fetch(UIWebView::Load& load) {
  static std::once_flag init;
  std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    load.error = "The web view could not start a connection.";
    return;
  }
  std::string body;
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
  if (result == CURLE_OK) {
    load.ok = true;
    load.title = titleOf(body);
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
  load->timeout = request.timeoutInterval();
  {
    auto& screen = sim::ScreenState::instance();
    std::lock_guard lock(screen.mutex);
    for (const auto& [from, to] : screen.routes) load->connectTo.push_back(from + ":" + to);
    load->trustedCertificates = screen.trustedCertificates;
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
