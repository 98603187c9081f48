#include "ringtone_changes.h"

namespace tonewell {

RingtoneStep stepOf(const VolumeEntry& change, float before) {
  if (change.by != ChangedBy::monitor) return RingtoneStep::setByPerson;
  return change.value > before ? RingtoneStep::raised : RingtoneStep::restored;
}

std::vector<RingtoneChange> ringtoneChanges(const ReplayResult& result) {
  std::vector<RingtoneChange> changes;
  float level = result.initialVolume;
  for (const auto& change : result.volume) {
    if (change.category != "Ringtone") continue;
    changes.push_back({change.t, change.value, stepOf(change, level)});
    level = change.value;
  }
  return changes;
}

}  // namespace tonewell
