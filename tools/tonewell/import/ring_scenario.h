// One ring of a log as a scenario: where it ends, the settings it ran with, the world its lines
// describe (each frame's brightness at its estimated time) and the host's calls.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "log_import.h"
#include "monitor_message.h"

namespace tonewell::monitor_message {

// No ring lasts longer (the probe gives up after 90 s): a ring the log never ends stops here.
inline constexpr double kLongestRing = 600.0;

// A ring's lines, in the log's order: those of its SpringBoard from its ringtone hook line on,
// and, when that SpringBoard ended during the ring, those of the one started after it up to its
// own first ringtone. A respring comes before each line listed in `restarts`.
struct RingLines {
  std::vector<const MonitorLine*> lines;
  std::vector<std::size_t> restarts;
};

// The ring's own time line, in seconds from its first line: each line comes the time its stamp
// says after the line before, except where the clock was set back (no time passes), or where a
// stamp without a year was read in the next year and would lie months ahead (the clock was set
// back by more than half a year).
std::vector<double> timeLine(const std::vector<const MonitorLine*>& lines);

// The scenario of the ring of `ringLines`, the `number`th of the log `name`; `settingsBefore` is
// the last "settings are" line before it, if any.
ImportedRing buildRing(const RingLines& ringLines, const MonitorLine* settingsBefore,
                       const std::string& name, int number);

}  // namespace tonewell::monitor_message
