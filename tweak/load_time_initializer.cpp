// The library's one load-time initializer: loading the library into the host installs the
// monitor. Kept apart from the rest so that tests decide when start-up runs.
#include "start_up.h"

__attribute__((constructor)) static void runInitializeMonitor() {
  tonewell::monitor::initializeMonitor();
}
