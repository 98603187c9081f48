#include "other_apps_view_controller.h"

#include "endpoints.h"

using namespace platform;

namespace tonewell::pane {

TWOtherAppsViewController::~TWOtherAppsViewController() {
  // The web view does not own its delegate: a notice of a load still under way must not reach
  // this page once it is gone.
  if (!isViewLoaded()) return;
  for (const auto& subview : view()->subviews()) {
    auto* webView = dynamic_cast<UIWebView*>(subview.get());  // unreachable: no null subview
    if (webView == nullptr) continue;
    if (webView->delegate() == this) webView->setDelegate(nullptr);
    webView->stopLoading();
  }
}

void TWOtherAppsViewController::viewDidLoad() {
  UIViewController::viewDidLoad();
  navigationItem().setTitle("My tweaks");

  const std::shared_ptr<UIView>& page = view();
  auto webView = std::make_shared<UIWebView>(page->bounds());
  webView->setDelegate(this);
  webView->setBackgroundColor(UIColor::clearColor());
  webView->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  page->addSubview(webView);

  label_ = std::make_shared<UILabel>(CGRectMake(0.0, page->frame().height * 0.5, 320.0, 50.0));
  label_->setText("Loading web page...");
  label_->setTextAlignment(NSTextAlignmentCenter);
  label_->setBackgroundColor(UIColor::clearColor());
  page->addSubview(label_);

  if (auto url = NSURL::URLWithString(otherAppsPageURL)) {  // unreachable: a constant URL
    webView->loadRequest(NSURLRequest::requestWithURL(*url));
  }
}

void TWOtherAppsViewController::takeLabelAway() noexcept {
  if (label_)
    label_->performSelectorOnMainThreadWithObjectWaitUntilDone("removeFromSuperview", nullptr,
                                                               false);
}

void TWOtherAppsViewController::webViewDidFinishLoad(UIWebView*) noexcept {
  takeLabelAway();
}

void TWOtherAppsViewController::webViewDidFailLoadWithError(UIWebView*, const NSError*) noexcept {
  takeLabelAway();
}

}  // namespace tonewell::pane
