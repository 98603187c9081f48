// The "My tweaks" page: the maker's web page of other extensions, with a loading label over it
// until the first load has finished or failed.
#pragma once

#include <memory>

#include "platform/ui_kit.h"

namespace tonewell::pane {

class TWOtherAppsViewController : public platform::UIViewController,
                                  public platform::UIWebViewDelegate {
 public:
  ~TWOtherAppsViewController() override;
  const char* className() const override { return "TWOtherAppsViewController"; }

  void viewDidLoad() override;
  void webViewDidFinishLoad(platform::UIWebView* webView) noexcept override;
  void webViewDidFailLoadWithError(platform::UIWebView* webView,
                                   const platform::NSError* error) noexcept override;

  const std::shared_ptr<platform::UILabel>& label() const { return label_; }

 private:
  void takeLabelAway() noexcept;

  std::shared_ptr<platform::UILabel> label_;
};

}  // namespace tonewell::pane
