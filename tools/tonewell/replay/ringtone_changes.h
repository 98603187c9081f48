// What each change of the ringtone volume in a replay was: the person's own, or the monitor's
// raise or restore. The one reading the report and the comparison with a phone's log share.
#pragma once

#include <vector>

#include "replay.h"

namespace tonewell {

enum class RingtoneStep {
  setByPerson,  // the scenario set it (the person, or the world the scenario describes)
  raised,       // the monitor made it louder
  restored,     // the monitor put the person's volume back
};

struct RingtoneChange {
  double t;
  float value;
  RingtoneStep step;
};

// The monitor raises only a volume below the in-pocket level and puts back a volume lower than
// the one it raised to: a change of its own upwards is a raise, any other a restore.
RingtoneStep stepOf(const VolumeEntry& change, float before);

// The changes of the "Ringtone" category, in order, from the scenario's initial volume.
std::vector<RingtoneChange> ringtoneChanges(const ReplayResult& result);

}  // namespace tonewell
