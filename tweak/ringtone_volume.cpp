#include "ringtone_volume.h"

#include <cmath>
#include <optional>

#include "log_lines.h"
#include "platform/celestial.h"
#include "platform/ns_file_manager.h"
#include "platform/ns_log.h"
#include "shared_state.h"

using namespace platform;

namespace tonewell::monitor {

#ifndef TONEWELL_INSTALL_PREFIX
#define TONEWELL_INSTALL_PREFIX ""
#endif

namespace {

constexpr const char* kRingtoneCategory = "Ringtone";
constexpr const char* kPersonsVolumeKey = "personsVolume";
constexpr const char* kRaisedLevelKey = "raisedLevel";

// The level the outstanding raise set. Guarded by volumeMutex().
float raisedLevel = 0.0f;
// A record found at start-up that could not be read: read again before the next raise writes
// one. Guarded by volumeMutex().
bool recordUnread = false;
// A record start-up could not settle because the volume could not be read then (at load time
// the media server may not answer yet): tried again when the next ring starts. Guarded by
// volumeMutex().
bool volumeUnreadAtStartUp = false;

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

// The record is written before the raise; false when it could not be.
bool writeRecord(float personsVolume, float level) {
  const std::string path = ringtoneVolumeRecordPath();
  const std::string folder = path.substr(0, path.rfind('/'));
  Dictionary record;
  record.setObjectForKey(Value(static_cast<double>(personsVolume)), kPersonsVolumeKey);
  record.setObjectForKey(Value(static_cast<double>(level)), kRaisedLevelKey);
  // The folder is made only when the first write finds it missing.
  return writeToFileAtomically(record, path) ||
         (NSFileManager::defaultManager()->createDirectoryAtPathWithIntermediateDirectories(
              folder) &&
          writeToFileAtomically(record, path));
}

void removeRecord() {
  NSFileManager* files = NSFileManager::defaultManager();
  const std::string path = ringtoneVolumeRecordPath();
  if (!files->removeItemAtPath(path) && files->fileExistsAtPath(path)) {
    NSLog(log_lines::kRecordNotRemoved, path);
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

enum class TakeOver { settled, recordUnreadable, volumeUnreadable };

// Takes on the raise of a host that ended with the volume raised, as its record tells it, and
// puts the person's volume back. Unless this is `lastTry`, a record that cannot be read, or a
// volume that cannot be read, leaves the record for another try; on the last try an unreadable
// record is removed and an unreadable volume counts as the raise's own.
TakeOver takeOverRecord(bool lastTry) {
  const std::string path = ringtoneVolumeRecordPath();
  if (!NSFileManager::defaultManager()->fileExistsAtPath(path)) return TakeOver::settled;
  const std::optional<Dictionary> record = dictionaryWithContentsOfFile(path);
  if (!record && !lastTry) {
    NSLog(log_lines::kRecordUnreadableRetry, path);
    return TakeOver::recordUnreadable;
  }
  const std::optional<float> persons =
      record ? recordedVolume(*record, kPersonsVolumeKey) : std::nullopt;
  const std::optional<float> level =
      record ? recordedVolume(*record, kRaisedLevelKey) : std::nullopt;
  if (!persons || !level) {
    NSLog(log_lines::kRecordUnreadableRemoved, path);
    removeRecord();
    return TakeOver::settled;
  }
  // A volume the person chose since is theirs; an unreadable one is still the raise's to undo,
  // once no later try is left.
  const std::optional<float> current = currentVolume();
  if (!current && !lastTry) return TakeOver::volumeUnreadable;
  if (current && !sameVolume(*current, *level)) {
    removeRecord();
    return TakeOver::settled;
  }
  originalRingtoneVolume = *persons;
  raisedLevel = *level;
  volumeWasIncreased = true;
  if (putRingtoneVolumeBack() == PutBackResult::restored) {
    NSLog(log_lines::kRestoredAfterRestart);
  }
  return TakeOver::settled;
}

void settleAtStartUp(bool lastTry) {
  const TakeOver outcome = takeOverRecord(lastTry);
  recordUnread = outcome == TakeOver::recordUnreadable;
  volumeUnreadAtStartUp = outcome == TakeOver::volumeUnreadable;
}

}  // namespace

std::string ringtoneVolumeRecordPath() {
  return std::string(TONEWELL_INSTALL_PREFIX) + NSHomeDirectory() +
         "/Library/Tonewell/RingtoneVolume.plist";
}

RaiseResult raiseRingtoneVolumeTo(float level) noexcept {
  try {
    if (recordUnread || volumeUnreadAtStartUp) settleAtStartUp(/*lastTry=*/true);
    std::optional<float> current = currentVolume();
    float persons = 0.0f;
    // Writing the record takes a while: if the person changed the volume meanwhile, their new
    // volume is the one to record, so that the set below follows the latest read at once.
    for (int attempt = 0; attempt < 3; ++attempt) {  // unreachable: three changes in a row
      // An outstanding raise keeps the record it wrote; a new one removes what it wrote for a
      // raise that does not follow.
      const bool outstanding = volumeWasIncreased;
      if (!current) {
        if (attempt > 0 && !outstanding) removeRecord();
        return RaiseResult::readFailed;
      }
      // While an earlier raise is outstanding (a stop left the volume raised and a new setup
      // followed) and the volume is still the level it set, the person's own was saved then.
      persons = outstanding && sameVolume(*current, raisedLevel) ? originalRingtoneVolume.load()
                                                                 : *current;
      if (!(level > persons)) {
        if (attempt > 0 && !outstanding) removeRecord();  // unreachable: a change mid-write
        return RaiseResult::notAbove;
      }
      if (!writeRecord(persons, level)) {
        if (!outstanding) removeRecord();
        return RaiseResult::notRecorded;
      }
      const std::optional<float> again = currentVolume();
      if (again == current) break;
      current = again;
    }
    if (!controller().setVolumeToForCategory(level, kRingtoneCategory)) {
      if (!volumeWasIncreased) removeRecord();
      return RaiseResult::setFailed;
    }
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
    PutBackResult result = PutBackResult::restored;
    // Unreadable counts as still ours: the raise was the monitor's to undo.
    if (!current || sameVolume(*current, raisedLevel)) {
      if (!controller().setVolumeToForCategory(originalRingtoneVolume, kRingtoneCategory)) {
        NSLog(log_lines::kRestoreFailed);
        return PutBackResult::setFailed;
      }
    } else {
      NSLog(log_lines::kPersonsChangeKept);
      result = PutBackResult::keptPersonsChange;
    }
    volumeWasIncreased = false;
    removeRecord();
    return result;
  } catch (...) {
    return PutBackResult::nothingRaised;
  }
}

void recoverRingtoneVolumeAfterRestart() noexcept {
  try {
    settleAtStartUp(/*lastTry=*/false);
  } catch (...) {
  }
}

void retryRingtoneVolumeRecovery() noexcept {
  try {
    if (volumeUnreadAtStartUp) settleAtStartUp(/*lastTry=*/false);
  } catch (...) {
  }
}

}  // namespace tonewell::monitor
