// The pocket check: what a ringtone start sets in motion. It reloads the settings, takes one
// accelerometer reading and schedules the camera probe's start and its forced stop.
#pragma once

#include "shared_state.h"  // increaseVolumeIfNeeded, exported with the shared variables
