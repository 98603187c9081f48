// NSURL and NSURLRequest.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace platform {

class NSURL {
 public:
  // None when `text` is not a URL (no scheme, or characters a URL cannot hold).
  static std::optional<NSURL> URLWithString(const std::string& text);
  const std::string& absoluteString() const { return text_; }
  const std::string& scheme() const { return scheme_; }
  const std::string& host() const { return host_; }
  const std::string& path() const { return path_; }
  const std::string& query() const { return query_; }

 private:
  std::string text_, scheme_, host_, path_, query_;
};

class NSURLRequest {
 public:
  static NSURLRequest requestWithURL(const NSURL& url) { return NSURLRequest(url); }
  const NSURL& URL() const { return url_; }
  double timeoutInterval() const { return 60.0; }  // the platform's default

 private:
  explicit NSURLRequest(NSURL url) : url_(std::move(url)) {}
  NSURL url_;
};

}  // namespace platform
