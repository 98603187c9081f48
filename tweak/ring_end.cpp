#include "ring_end.h"

#include <mutex>

#include "log_lines.h"
#include "platform/ns_log.h"
#include "ringtone_volume.h"
#include "shared_state.h"
#include "video_capture_delegate.h"

namespace tonewell::monitor {

using namespace platform;

void restoreRingtoneVolume() noexcept {
  TWVideoCaptureDelegate* probe = captureDelegate;
  if (!isEnabled) {
    if (enableDebugLogging) NSLog(log_lines::kRingEndDisabled);
    // The setting may have been switched off during the ring: what an enabled check started
    // must still be undone. A ring the monitor never touched is left alone.
    const bool started = probe != nullptr && probe->ringInProgress();
    if (!started && !volumeWasIncreased) return;
  }

  NSObject::cancelPreviousPerformRequestsWithTarget(probe);
  if (probe) {
    probe->ringEnded();
    probe->stopSession();
  }

  // The ring is over and its session stopped: no frame of it starts a raise any more, and a raise
  // already under way holds the volume lock until it is done, so this sees it.
  std::lock_guard lock(volumeMutex());
  if (volumeWasIncreased) {
    if (enableDebugLogging) NSLog(log_lines::kRestoringAtRingEnd);
    putRingtoneVolumeBack();
  } else if (enableDebugLogging) {
    NSLog(log_lines::kRingEndNotRaised);
  }
}

}  // namespace tonewell::monitor
