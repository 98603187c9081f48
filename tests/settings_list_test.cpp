#include <fstream>

#include "pane_fixture.h"
#include "platform/cf_preferences.h"
#include "platform/sim/property_list_codec.h"

namespace {

using platform::Dictionary;
using platform::Value;

class SettingsListTest : public testing_support::PaneTest {};

TEST_F(SettingsListTest, SpecifiersAreLoadedOnceAndCached) {
  testing_support::TemporaryFolder bundle;
  list_->setBundlePath(bundle.path());
  EXPECT_EQ(list_->specifiers(), nullptr) << "no list: nothing, and nothing cached";

  std::ifstream source(std::string(TONEWELL_PREFS_RESOURCES) + "/TonewellPrefs.plist");
  std::ofstream(bundle.path() + "/TonewellPrefs.plist") << source.rdbuf();
  const auto first = list_->specifiers();
  ASSERT_NE(first, nullptr) << "a failed load is tried again";
  std::remove((bundle.path() + "/TonewellPrefs.plist").c_str());
  EXPECT_EQ(list_->specifiers(), first) << "the same array, without reading the list again";
}

TEST_F(SettingsListTest, ButtonsSendTheirActionsToTheController) {
  auto rows = list_->specifiers();
  ASSERT_NE(rows, nullptr);
  std::vector<std::string> actions;
  for (const auto& row : *rows) {
    if (row->property("cell") == "PSButtonCell") {
      actions.push_back(row->property("action"));
      EXPECT_EQ(row->target(), list_.get());
    }
  }
  EXPECT_EQ(actions,
            (std::vector<std::string>{"sendDebugLog", "followOnTwitter", "viewOtherApps"}));
}

TEST_F(SettingsListTest, AnActionThatIsNotTheControllersGoesToItsBaseClass) {
  EXPECT_EQ(list_->performSelectorWithObject("reload", nullptr),
            platform::PSListController().performSelectorWithObject("reload", nullptr));
  EXPECT_EQ(top(), list_.get()) << "no page was pushed";
}

TEST_F(SettingsListTest, FollowOpensTheIntentUrlWithOneQueryKey) {
  list_->followOnTwitter();
  const auto urls = sim::openedURLs();
  ASSERT_EQ(urls.size(), 1u);
  const auto url = platform::NSURL::URLWithString(urls[0]);
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(url->scheme(), "https");
  EXPECT_EQ(url->path(), "/intent/user");
  EXPECT_EQ(url->query().rfind("screen_name=", 0), 0u);
  EXPECT_EQ(url->query().find_first_of("&;"), std::string::npos) << "exactly one query key";
  EXPECT_EQ(top(), list_.get()) << "the pane stays as it was";
}

TEST_F(SettingsListTest, EachTapShowsANewPage) {
  list_->viewOtherApps();
  const auto first = navigation_->viewControllers().back();  // kept, so its address stays its own
  EXPECT_STREQ(first->className(), "TWOtherAppsViewController");
  navigation_->popViewControllerAnimated(true);
  settle();
  list_->viewOtherApps();
  EXPECT_NE(top(), first.get());
  EXPECT_STREQ(top()->className(), "TWOtherAppsViewController");

  list_->sendDebugLog();
  EXPECT_STREQ(top()->className(), "TW_AdvancedViewController");
}

TEST_F(SettingsListTest, ChangedRowIsStoredInTheDomainAsABinaryPropertyList) {
  auto rows = list_->specifiers();
  ASSERT_NE(rows, nullptr);
  std::shared_ptr<platform::PSSpecifier> delay;
  for (const auto& row : *rows) {
    if (row->property("key") == "increaseVolumeDelay") delay = row;
  }
  ASSERT_NE(delay, nullptr);
  EXPECT_EQ(*list_->readPreferenceValue(*delay), Value(2.0)) << "the default shown";
  const Value five(5.0);
  ASSERT_TRUE(list_->setPreferenceValueSpecifier(&five, *delay));
  EXPECT_EQ(*list_->readPreferenceValue(*delay), five);
  const auto bytes =
      sim::readFile(sim::preferencesFolder() + "/" + delay->property("defaults") + ".plist");
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(bytes->substr(0, 8), "bplist00");

  ASSERT_TRUE(list_->setPreferenceValueSpecifier(nullptr, *delay));
  EXPECT_EQ(*list_->readPreferenceValue(*delay), Value(2.0)) << "reset: the default again";
}

}  // namespace
