// A test of the Settings pane linked in directly, on a simulated Settings navigation stack.
#pragma once

#include <memory>

#include "platform/preferences_framework.h"
#include "platform/sim/screen.h"
#include "test_support.h"
#include "tonewell_prefs_list_controller.h"

// Tests of the pane name its parts as the pane itself does.
using namespace tonewell::pane;

namespace testing_support {

class PaneTest : public PhoneTest {
 public:  // the fault table reaches the screen through these
  void SetUp() override {
    navigation_ = std::make_shared<platform::UINavigationController>();
    navigation_->pushViewControllerAnimated(std::make_shared<platform::UIViewController>(), false);
    list_ = std::make_shared<TonewellPrefsListController>();
    list_->setBundlePath(TONEWELL_PREFS_RESOURCES);
    navigation_->pushViewControllerAnimated(list_, false);
    sim::runUntilIdle(1000);
  }
  platform::UIViewController* top() const { return navigation_->topViewController(); }
  // Runs the main run loop and the other queues until nothing is left to do.
  void settle() { sim::fastForwardUntilNoTasksRemain(10'000); }

  std::shared_ptr<platform::UINavigationController> navigation_;
  std::shared_ptr<TonewellPrefsListController> list_;
};

}  // namespace testing_support
