// Loading the bundle makes its principal class known by name, as the runtime does for the
// Objective-C classes of a bundle.
#include "platform/ns_object.h"
#include "tonewell_prefs_list_controller.h"

namespace {

std::shared_ptr<platform::NSObject> makeTonewellPrefsListController() {
  return std::make_shared<TonewellPrefsListController>();
}

__attribute__((constructor)) void registerPaneClasses() {
  platform::registerClassNamed("TonewellPrefsListController", &makeTonewellPrefsListController);
}

}  // namespace
