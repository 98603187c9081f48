#include "ringtone_volume.h"

#include <cmath>
#include <optional>

#include "platform/celestial.h"
#include "platform/ns_file_manager.h"
#include "platform/ns_log.h"
#include "shared_state.h"

using namespace platform;

namespace tonewell::monitor {

namespace {

constexpr const char* kRingtoneCategory = "Ringtone";
constexpr const char* kPersonsVolumeKey = "personsVolume";
constexpr const char* kRaisedLevelKey = "raisedLevel";

// The level the outstanding raise set. Guarded by volumeMutex().
float raisedLevel = 0.0f;

bool sameVolume(float a, float b) {
  return std::fabs(a - b) < kSameVolumeTolerance;
}

AVSystemController& controller() {
  return *AVSystemController::sharedAVSystemController();
}

std::optional<float> currentVolume() {
  float volume = 0.0f;
  if (!controller().getVolumeForCategory(&volume, kRingtoneCategory)) return std::nullopt;
  return volume;
}

// The record is written before the raise: a failure is said and never blocks the ring.
void writeRecord(float personsVolume, float level) {
  const std::string path = ringtoneVolumeRecordPath();
  const std::string folder = path.substr(0, path.rfind('/'));
  Dictionary record;
  record.setObjectForKey(Value(static_cast<double>(personsVolume)), kPersonsVolumeKey);
  record.setObjectForKey(Value(static_cast<double>(level)), kRaisedLevelKey);
  // The folder is made only when the first write finds it missing.
  if (!writeToFileAtomically(record, path) &&
      (!NSFileManager::defaultManager()->createDirectoryAtPathWithIntermediateDirectories(folder) ||
       !writeToFileAtomically(record, path))) {
    NSLog("TW: unable to save the ringtone volume to %@, raising it all the same.", path);
  }
}

void removeRecord() {
  NSFileManager* files = NSFileManager::defaultManager();
  const std::string path = ringtoneVolumeRecordPath();
  if (!files->removeItemAtPath(path) && files->fileExistsAtPath(path)) {
    NSLog("TW: unable to remove %@.", path);
  }
}

std::optional<float> recordedVolume(const Dictionary& record, const char* key) {
  const Value* value = record.objectForKey(key);
  if (value == nullptr || !(value->getIf<double>() || value->getIf<std::int64_t>())) {
    return std::nullopt;
  }
  const float f = floatValue(*value);
  if (!std::isfinite(f) || f < 0.0f || f > 1.0f) return std::nullopt;
  return f;
}

}  // namespace

std::string ringtoneVolumeRecordPath() {
  return NSHomeDirectory() + "/Library/Tonewell/RingtoneVolume.plist";
}

RaiseResult raiseRingtoneVolumeTo(float level) noexcept {
  try {
    std::optional<float> current = currentVolume();
    float persons = 0.0f;
    // Writing the record takes a while: if the person changed the volume meanwhile, their new
    // volume is the one to record, so that the set below follows the latest read at once.
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (!current) {
        if (attempt > 0) removeRecord();  // no raise follows the record written for it
        return RaiseResult::readFailed;
      }
      // While an earlier raise is outstanding (a stop left the volume raised and a new setup
      // followed) and the volume is still the level it set, the person's own was saved then.
      persons = volumeWasIncreased && sameVolume(*current, raisedLevel)
                    ? originalRingtoneVolume.load()
                    : *current;
      if (!(level > persons)) return RaiseResult::notAbove;
      writeRecord(persons, level);
      const std::optional<float> again = currentVolume();
      if (again == current) break;
      current = again;
    }
    controller().setVolumeToForCategory(level, kRingtoneCategory);
    originalRingtoneVolume = persons;
    raisedLevel = level;
    volumeWasIncreased = true;
    return RaiseResult::raised;
  } catch (...) {
    return RaiseResult::readFailed;
  }
}

PutBackResult putRingtoneVolumeBack() noexcept {
  try {
    if (!volumeWasIncreased) return PutBackResult::nothingRaised;
    const std::optional<float> current = currentVolume();
    volumeWasIncreased = false;
    PutBackResult result = PutBackResult::restored;
    // Unreadable counts as still ours: the raise was the monitor's to undo.
    if (!current || sameVolume(*current, raisedLevel)) {
      controller().setVolumeToForCategory(originalRingtoneVolume, kRingtoneCategory);
    } else {
      NSLog("TW: the ringtone volume was changed while it was raised, keeping it.");
      result = PutBackResult::keptPersonsChange;
    }
    removeRecord();
    return result;
  } catch (...) {
    return PutBackResult::nothingRaised;
  }
}

bool recoverRingtoneVolumeAfterRestart() noexcept {
  try {
    const std::string path = ringtoneVolumeRecordPath();
    if (!NSFileManager::defaultManager()->fileExistsAtPath(path)) return true;
    const std::optional<Dictionary> record = dictionaryWithContentsOfFile(path);
    const std::optional<float> persons =
        record ? recordedVolume(*record, kPersonsVolumeKey) : std::nullopt;
    const std::optional<float> level =
        record ? recordedVolume(*record, kRaisedLevelKey) : std::nullopt;
    if (!persons || !level) {
      NSLog("TW: unable to read the saved ringtone volume in %@, removing it.", path);
      removeRecord();
      return true;
    }
    // At load time the media server may not answer yet: without the volume (or with a refused
    // set) the record stays, and the next ring tries again before it raises anything.
    const std::optional<float> current = currentVolume();
    if (!current) return false;
    if (sameVolume(*current, *level)) {
      if (!controller().setVolumeToForCategory(*persons, kRingtoneCategory)) return false;
      NSLog(
          "TW: SpringBoard ended while the ringtone volume was raised, original volume "
          "restored.");
    }
    removeRecord();
    return true;
  } catch (...) {
    return false;
  }
}

namespace {
// A record that start-up could not settle waits for the next ring. Guarded by volumeMutex().
bool recoveryPending = false;
}  // namespace

void recoverRingtoneVolumeAtStartUp() noexcept {
  recoveryPending = !recoverRingtoneVolumeAfterRestart();
}

void retryRingtoneVolumeRecovery() noexcept {
  if (recoveryPending) recoveryPending = !recoverRingtoneVolumeAfterRestart();
}

}  // namespace tonewell::monitor
