// A picture of a replay as SVG: the brightness of each frame against the threshold, the
// "Ringtone" volume as a step line, and marks for the ring and the camera, on one time axis.
#pragma once

#include <string>

#include "replay.h"

namespace tonewell {

std::string svgPlot(const ReplayResult& result);

}  // namespace tonewell
