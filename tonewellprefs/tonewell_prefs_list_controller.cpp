#include "tonewell_prefs_list_controller.h"

#include <cstring>

#include "advanced_view_controller.h"
#include "endpoints.h"
#include "other_apps_view_controller.h"

using namespace platform;

namespace tonewell::pane {

std::shared_ptr<SpecifierArray> TonewellPrefsListController::specifiers() {
  if (!_specifiers) _specifiers = loadSpecifiersFromPlistNameTarget("TonewellPrefs", this);
  return _specifiers;
}

void TonewellPrefsListController::followOnTwitter() {
  auto url = NSURL::URLWithString(followURL);
  if (url) UIApplication::sharedApplication()->openURL(*url);  // unreachable: a constant URL
}

void TonewellPrefsListController::viewOtherApps() {
  pushControllerAnimate(std::make_shared<TWOtherAppsViewController>(), true);
}

void TonewellPrefsListController::sendDebugLog() {
  pushControllerAnimate(std::make_shared<TW_AdvancedViewController>(), true);
}

bool TonewellPrefsListController::performSelectorWithObject(SEL selector, const Value* object) {
  if (std::strcmp(selector, "followOnTwitter") == 0) {
    followOnTwitter();
  } else if (std::strcmp(selector, "viewOtherApps") == 0) {
    viewOtherApps();
  } else if (std::strcmp(selector, "sendDebugLog") == 0) {
    sendDebugLog();
  } else {
    return PSListController::performSelectorWithObject(selector, object);
  }
  return true;
}

}  // namespace tonewell::pane
