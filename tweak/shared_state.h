// The monitor's process-wide state, exported by name so that tools can read it: the settings
// snapshot, the two long-lived objects and the values the hooks, the pocket check and the camera
// probe hand to one another. Each variable is an atomic of the system's width, so it is read and
// written whole from any thread; the raise and the restore of the volume, which span several
// variables, take `handOverMutex`.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#define TW_EXPORT __attribute__((visibility("default")))

namespace platform {
class CMMotionManager;
}
class TWVideoCaptureDelegate;

extern "C" {
// Settings snapshot, rewritten by loadSettings.
TW_EXPORT extern std::atomic<bool> isEnabled;
TW_EXPORT extern std::atomic<bool> enableDebugLogging;
TW_EXPORT extern std::atomic<bool> useFrontCamera;
TW_EXPORT extern std::atomic<float> increaseVolumeDelay;
TW_EXPORT extern std::atomic<double> ringingVolumeWhileInPocket;
TW_EXPORT extern std::atomic<float> pocketBrightness;
TW_EXPORT extern std::atomic<bool> increaseVolumeIfHorizontal;

// The long-lived objects, created once at start-up and never released.
TW_EXPORT extern std::atomic<TWVideoCaptureDelegate*> captureDelegate;
TW_EXPORT extern std::atomic<platform::CMMotionManager*> motionManager;

// Run-time values.
TW_EXPORT extern std::atomic<bool> isLyingFlat;
TW_EXPORT extern std::atomic<std::intptr_t> sampleCount;
TW_EXPORT extern std::atomic<float> originalRingtoneVolume;
TW_EXPORT extern std::atomic<bool> volumeWasIncreased;
TW_EXPORT extern std::atomic<std::int32_t> currentPhoneState;

// The pocket check, run at the start of every ringtone.
TW_EXPORT void increaseVolumeIfNeeded(void) noexcept;
}

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

// Reads the settings snapshot from the preferences domain.
void loadSettings() noexcept;

// Puts back a volume the probe raised, and stops the probe.
void restoreRingtoneVolume() noexcept;
