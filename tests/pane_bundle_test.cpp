// Loads the real preference bundle as the Settings application does and checks what the phone
// finds by name: the classes the bundle makes, the names its Info.plist and the package's
// PreferenceLoader entry use, and the pages the bundle shows.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include "platform/ns_object.h"
#include "platform/preferences_framework.h"
#include "platform/sim/phone.h"
#include "platform/sim/property_list_codec.h"
#include "platform/ui_kit.h"
#include "test_support.h"

namespace {

const std::set<std::string> kPaneClasses = {
#define TW_PANE_LIST(name) #name,
#define TW_PANE_PAGE(name) #name,
#include "pane_classes.def"
#undef TW_PANE_LIST
#undef TW_PANE_PAGE
};
const char* const kRootPage =
#define TW_PANE_LIST(name) #name
#include "pane_classes.def"
#undef TW_PANE_LIST
    ;

platform::Dictionary readDictionary(const std::string& path) {
  std::string error;
  const auto bytes = sim::readFile(path, &error);
  EXPECT_TRUE(bytes) << error;
  if (!bytes) return {};
  const auto value = sim::parsePropertyList(
      {reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()}, &error);
  const auto* dictionary = value ? value->getIf<platform::Dictionary>() : nullptr;
  EXPECT_NE(dictionary, nullptr) << path << ": " << error;
  return dictionary ? *dictionary : platform::Dictionary();
}

std::string text(const platform::Dictionary& dictionary, const char* key) {
  const platform::Value* value = dictionary.objectForKey(key);
  const auto* s = value ? value->getIf<std::string>() : nullptr;
  return s ? *s : std::string();
}

class PaneBundleTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_NE(dlopen(TONEWELL_PREFS_BUNDLE "/TonewellPrefs", RTLD_NOW | RTLD_LOCAL), nullptr)
        << dlerror();
  }
};

// The phone makes a page's Objective-C object from the page's class name, and the page's C++
// twin from the same name: they must agree.
TEST_F(PaneBundleTest, EveryClassIsMadeByItsOwnName) {
  for (const std::string& name : kPaneClasses) {
    const auto made = platform::instantiateClassNamed(name);
    ASSERT_NE(made, nullptr) << name;
    EXPECT_EQ(made->className(), name);
  }
}

TEST_F(PaneBundleTest, InfoPlistAndPreferenceLoaderEntryNameTheBundleAndItsRootPage) {
  const auto info = readDictionary(TONEWELL_PREFS_BUNDLE "/Info.plist");
  EXPECT_EQ(text(info, "CFBundleExecutable"), "TonewellPrefs");
  EXPECT_EQ(text(info, "NSPrincipalClass"), kRootPage) << "the root page";

  const auto entryFile = readDictionary(TONEWELL_PACKAGING "/TonewellPrefs.plist");
  const platform::Value* entryValue = entryFile.objectForKey("entry");
  ASSERT_NE(entryValue, nullptr);
  const auto& entry = *entryValue->getIf<platform::Dictionary>();
  EXPECT_EQ(text(entry, "bundle"), "TonewellPrefs");
  EXPECT_EQ(text(entry, "detail"), text(info, "NSPrincipalClass"));
  EXPECT_EQ(text(entry, "cell"), "PSLinkCell");
  EXPECT_TRUE(std::ifstream(TONEWELL_PREFS_RESOURCES "/" + text(entry, "icon")).good())
      << "the entry's icon is not among the bundle's resources";
}

TEST_F(PaneBundleTest, TheMonitorIsLoadedIntoSpringBoardOnly) {
  const auto filter = readDictionary(TONEWELL_PACKAGING "/Tonewell.plist");
  const platform::Value* inner = filter.objectForKey("Filter");
  ASSERT_NE(inner, nullptr);
  const platform::Value* bundles = inner->getIf<platform::Dictionary>()->objectForKey("Bundles");
  ASSERT_NE(bundles, nullptr);
  EXPECT_EQ(*bundles, platform::Value(platform::Array{platform::Value("com.apple.springboard")}));
}

// The Settings application makes every page of the bundle by its class name: the root page by
// the name in Info.plist, and each page a row's button pushes by the name of its class. Each page
// the built bundle shows is a class of the list that the bundle makes by that name, and every
// class of the list is shown (the phone build exports exactly the list's classes).
TEST_F(PaneBundleTest, EveryPageTheBundleShowsIsAListedClassMadeByItsName) {
  testing_support::TemporaryFolder home;
  sim::ScopedPhone phone(home.path());
  const auto info = readDictionary(TONEWELL_PREFS_BUNDLE "/Info.plist");
  auto root = std::dynamic_pointer_cast<platform::PSListController>(
      platform::instantiateClassNamed(text(info, "NSPrincipalClass")));
  ASSERT_NE(root, nullptr);
  root->setBundlePath(TONEWELL_PREFS_BUNDLE);
  auto navigation = std::make_shared<platform::UINavigationController>();
  navigation->pushViewControllerAnimated(root, false);
  std::set<std::string> shown = {root->className()};
  const auto rows = root->specifiers();
  ASSERT_NE(rows, nullptr);
  for (const auto& row : *rows) {
    if (row->property("action").empty()) continue;
    root->performActionOf(*row);
    const platform::UIViewController* page = navigation->topViewController();
    if (page == root.get()) continue;  // the row's button shows no page (it opens a link)
    const std::string name = page->className();
    shown.insert(name);
    const auto made = platform::instantiateClassNamed(name);
    ASSERT_NE(made, nullptr) << name;
    EXPECT_EQ(made->className(), name);
    navigation->popViewControllerAnimated(false);
  }
  EXPECT_EQ(shown, kPaneClasses);
}

}  // namespace
