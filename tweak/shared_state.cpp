#include "shared_state.h"

// The system hands these over between threads at the widths it gives them: one-byte booleans,
// 32-bit floats and integers, 64-bit doubles, pointer-width counters. Atomics keep those widths
// and are lock-free, so each read and write is whole.
static_assert(sizeof(std::atomic<bool>) == 1 && std::atomic<bool>::is_always_lock_free);
static_assert(sizeof(std::atomic<float>) == 4 && std::atomic<float>::is_always_lock_free);
static_assert(sizeof(std::atomic<double>) == 8 && std::atomic<double>::is_always_lock_free);
static_assert(sizeof(std::atomic<std::int32_t>) == 4 &&
              std::atomic<std::int32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<std::intptr_t>) == sizeof(void*) &&
              std::atomic<std::intptr_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<TWVideoCaptureDelegate*>) == sizeof(void*));

extern "C" {
std::atomic<bool> isEnabled{false};
std::atomic<bool> enableDebugLogging{false};
std::atomic<bool> useFrontCamera{false};
std::atomic<float> increaseVolumeDelay{0.0f};
std::atomic<double> ringingVolumeWhileInPocket{0.0};
std::atomic<float> pocketBrightness{0.0f};
std::atomic<bool> increaseVolumeIfHorizontal{false};

std::atomic<TWVideoCaptureDelegate*> captureDelegate{nullptr};
std::atomic<platform::CMMotionManager*> motionManager{nullptr};

std::atomic<bool> isLyingFlat{false};
std::atomic<std::intptr_t> sampleCount{0};
std::atomic<float> originalRingtoneVolume{0.0f};
std::atomic<bool> volumeWasIncreased{false};
std::atomic<std::int32_t> currentPhoneState{0};
}

std::atomic<HostRingtone> hostRingtone{HostRingtone::unknown};

std::mutex& handOverMutex() {
  static std::mutex mutex;
  return mutex;
}

std::mutex& volumeMutex() {
  static std::mutex mutex;
  return mutex;
}
