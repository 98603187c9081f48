// The root page of the preference bundle: the rows that edit the monitor's settings, and three
// buttons (follow, other tweaks, debug log).
#pragma once

#include "platform/preferences_framework.h"

namespace tonewell::pane {

class TonewellPrefsListController : public platform::PSListController {
 public:
  const char* className() const override { return "TonewellPrefsListController"; }

  // The rows, loaded from the specifier list "TonewellPrefs" the first time and cached.
  std::shared_ptr<platform::SpecifierArray> specifiers() override;
  void followOnTwitter();
  void viewOtherApps();
  void sendDebugLog();

  bool performSelectorWithObject(platform::SEL selector, const platform::Value* object) override;
};

}  // namespace tonewell::pane
