#include "local_http_server.h"
#include "other_apps_view_controller.h"
#include "pane_fixture.h"
#include "platform/ui_kit.h"

namespace {

using platform::UILabel;
using platform::UIWebView;

class OtherAppsPageTest : public testing_support::PaneTest {
 protected:
  TWOtherAppsViewController& page() { return *static_cast<TWOtherAppsViewController*>(top()); }
  UIWebView* webView() { return dynamic_cast<UIWebView*>(page().view()->subviews().at(0).get()); }
  bool labelShown() {
    const auto& views = page().view()->subviews();
    return std::any_of(views.begin(), views.end(),
                       [&](const auto& v) { return v == page().label(); });
  }
  // The maker's page is routed to this machine, whose test server the phone trusts: a test never
  // reaches the internet.
  void routeTo(const std::string& target) {
    sim::routeHost("www.example.com:443", target);
    sim::trustCertificates(testing_support::exampleCertificate().certificateFile);
  }
  void open() {
    list_->viewOtherApps();
    ASSERT_STREQ(top()->className(), "TWOtherAppsViewController");
  }
};

TEST_F(OtherAppsPageTest, BuildsThePageAsItAppears) {
  routeTo("127.0.0.1:1");
  open();
  EXPECT_EQ(page().navigationItem().title(), "My tweaks");
  const auto& views = page().view()->subviews();
  ASSERT_EQ(views.size(), 2u);
  ASSERT_NE(webView(), nullptr) << "the web view lies under the label";
  EXPECT_EQ(views[1], page().label());
  EXPECT_EQ(webView()->frame(), page().view()->bounds());
  EXPECT_EQ(webView()->autoresizingMask(), 18u);
  EXPECT_EQ(webView()->backgroundColor()->name(), "clearColor");
  EXPECT_EQ(webView()->delegate(), &page());
  EXPECT_EQ(page().label()->frame(), platform::CGRectMake(0, 240, 320, 50)) << "view 480 high";
  EXPECT_EQ(page().label()->text(), "Loading web page...");
  EXPECT_EQ(page().label()->textAlignment(), platform::NSTextAlignmentCenter);
  EXPECT_EQ(page().label()->backgroundColor()->name(), "clearColor");
  EXPECT_EQ(page().label()->autoresizingMask(), 0u);
}

TEST_F(OtherAppsPageTest, LoadedPageTakesTheLabelAway) {
  testing_support::LocalHttpServer server;
  routeTo(server.address());
  open();
  EXPECT_TRUE(labelShown());
  settle();
  EXPECT_TRUE(webView()->loaded());
  EXPECT_EQ(webView()->pageTitle(), "Tonewell: other tweaks");
  EXPECT_FALSE(labelShown());
  EXPECT_NE(page().label(), nullptr) << "kept after it left the screen";
}

TEST_F(OtherAppsPageTest, FailedLoadTakesTheLabelAwayAndLogsNothing) {
  routeTo("127.0.0.1:1");  // nothing listens there
  open();
  settle();
  EXPECT_FALSE(webView()->loaded());
  EXPECT_FALSE(webView()->lastError().empty());
  EXPECT_FALSE(labelShown());
  EXPECT_TRUE(sim::logMessages().empty());
}

TEST_F(OtherAppsPageTest, LabelGoesAfterTheNoticeReturnsAndLaterNoticesChangeNothing) {
  routeTo("127.0.0.1:1");
  open();
  page().webViewDidFinishLoad(webView());
  EXPECT_TRUE(labelShown()) << "the removal is queued, not done inside the notice";
  settle();
  EXPECT_FALSE(labelShown());
  page().webViewDidFinishLoad(webView());
  const platform::NSError error("NSURLErrorDomain", -1, "late failure");
  page().webViewDidFailLoadWithError(webView(), &error);
  settle();
  EXPECT_FALSE(labelShown());
  EXPECT_EQ(page().view()->subviews().size(), 1u);
}

TEST_F(OtherAppsPageTest, RotationResizesTheWebViewButNotTheLabel) {
  routeTo("127.0.0.1:1");
  open();
  page().view()->setFrame(platform::CGRectMake(0, 0, 480, 320));
  EXPECT_EQ(webView()->frame(), platform::CGRectMake(0, 0, 480, 320));
  EXPECT_EQ(page().label()->frame(), platform::CGRectMake(0, 240, 320, 50));
}

TEST_F(OtherAppsPageTest, NoticeOfALoadOutlivingThePageNeverReachesIt) {
  testing_support::LocalHttpServer server;
  routeTo(server.address());
  open();
  std::shared_ptr<platform::UIView> keepWebView = page().view()->subviews().at(0);
  navigation_->popViewControllerAnimated(false);
  settle();  // the page is gone; its load's notice comes in now
  auto* web = dynamic_cast<UIWebView*>(keepWebView.get());
  EXPECT_EQ(web->delegate(), nullptr);
  EXPECT_FALSE(web->loaded()) << "the load was stopped with the page";
}

// The page breaks only the link that is its own: a web view handed to another delegate keeps it.
TEST_F(OtherAppsPageTest, APageThatGoesLeavesAnotherDelegateAlone) {
  open();
  std::shared_ptr<platform::UIView> keepWebView = page().view()->subviews().at(0);
  TWOtherAppsViewController other;
  webView()->setDelegate(&other);
  navigation_->popViewControllerAnimated(false);
  settle();
  EXPECT_EQ(dynamic_cast<UIWebView*>(keepWebView.get())->delegate(), &other);
}

TEST_F(OtherAppsPageTest, ANoticeBeforeThePageHasItsViewChangesNothing) {
  TWOtherAppsViewController page;
  page.webViewDidFinishLoad(nullptr);
  page.webViewDidFailLoadWithError(nullptr, nullptr);
  settle();
  EXPECT_EQ(page.label(), nullptr);
}

TEST_F(OtherAppsPageTest, EachVisitLoadsAfresh) {
  testing_support::LocalHttpServer server;
  routeTo(server.address());
  open();
  settle();
  navigation_->popViewControllerAnimated(true);
  settle();
  open();
  EXPECT_TRUE(labelShown());
  settle();
  EXPECT_TRUE(webView()->loaded());
}

TEST_F(OtherAppsPageTest, AnErrorPageShowsWithItsStatus) {
  testing_support::LocalHttpServer server(404, "<html><title>\n  Not &amp; Found\n</title></html>");
  routeTo(server.address());
  open();
  settle();
  EXPECT_TRUE(webView()->loaded()) << "the web view shows what the server sent";
  EXPECT_EQ(webView()->httpStatus(), 404);
  EXPECT_EQ(webView()->pageTitle(), "Not & Found");
  EXPECT_FALSE(labelShown());
}

TEST_F(OtherAppsPageTest, TheTitleIsShownAsABrowserShowsIt) {
  testing_support::LocalHttpServer server(
      200, "<title>&#x1F514; &lt;Tonewell&gt; &#233;t&eacute; &quot;tweaks&quot;</title>");
  routeTo(server.address());
  open();
  settle();
  EXPECT_EQ(webView()->pageTitle(), "\xf0\x9f\x94\x94 <Tonewell> \xc3\xa9t&eacute; \"tweaks\"");
}

TEST_F(OtherAppsPageTest, APageTooLargeFailsSayingSo) {
  testing_support::LocalHttpServer server(200, std::string(9u << 20, 'x'));
  routeTo(server.address());
  open();
  settle();
  EXPECT_FALSE(webView()->loaded());
  EXPECT_EQ(webView()->lastError(), "The page is larger than 8 MiB, the most the web view loads.");
  EXPECT_FALSE(labelShown());
}

}  // namespace
