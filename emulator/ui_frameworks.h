// The Settings pane's pages as the Settings application holds them.
#pragma once

#include <memory>
#include <string>

#include "objc_runtime.h"

namespace platform {
class PSListController;
class UIViewController;
}  // namespace platform

namespace emulator {

// Makes the binary's list page `className` ([[cls alloc] init]) and hands it to the system: the
// Settings application's page of the simulated phone, whose rows and actions are the binary's.
// Null when the emulation ended (see the runtime's failure).
std::shared_ptr<platform::PSListController> makeListController(Runtime& runtime,
                                                               const std::string& className,
                                                               const std::string& bundlePath);

// The twin of a controller of the binary's, or null.
std::shared_ptr<platform::UIViewController> controllerTwin(Runtime& runtime, Address object);

}  // namespace emulator
