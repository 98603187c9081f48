// The monitor's process-wide state, exported by name so that tools can read it: the settings
// snapshot, the two long-lived objects and the values the hooks, the pocket check and the camera
// probe hand to one another (listed in shared_variables.def). Each variable is an atomic of the
// system's width, so it is read and written whole from any thread; the raise and the restore of the
// volume, which span several variables, take `handOverMutex`.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#define TW_EXPORT __attribute__((visibility("default")))

namespace platform {
class CMMotionManager;
}
namespace tonewell::monitor {
class TWVideoCaptureDelegate;
}

extern "C" {
#define TW_SETTING(variable, key, type, ...) TW_EXPORT extern std::atomic<type> variable;
#define TW_OBJECT(variable, type) TW_EXPORT extern std::atomic<type> variable;
#define TW_STATE(variable, type) TW_EXPORT extern std::atomic<type> variable;
#include "shared_variables.def"
#undef TW_SETTING
#undef TW_OBJECT
#undef TW_STATE

// The pocket check, run at the start of every ringtone.
TW_EXPORT void increaseVolumeIfNeeded(void) noexcept;
}

namespace tonewell::monitor {

// What the host's ringtone is doing, as the ringtone hooks saw it: unknown until one has run.
// A ring is over (stopped) at stopRinging or at call status 1 or 5.
enum class HostRingtone : int { unknown, playing, stopped };
extern std::atomic<HostRingtone> hostRingtone;

// Guards the probe's session, its in-pocket state and the ring's phase. Never held across a call
// to the volume controller or the camera's frame handling.
std::mutex& handOverMutex();

// Makes the raise of the volume (by a frame) and its restore (by a bright frame or the end of
// the ring) exclusive of each other: each holds it across its calls to the volume controller,
// so a restore that comes while a raise is under way waits for it and then undoes it. Taken
// before handOverMutex when both are needed.
std::mutex& volumeMutex();

}  // namespace tonewell::monitor
