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
static_assert(sizeof(std::atomic<tonewell::monitor::TWVideoCaptureDelegate*>) == sizeof(void*));

extern "C" {
#define TW_SETTING(variable, key, type, ...) std::atomic<type> variable{};
#define TW_OBJECT(variable, type) std::atomic<type> variable{nullptr};
#define TW_STATE(variable, type) std::atomic<type> variable{};
#include "shared_variables.def"
#undef TW_SETTING
#undef TW_OBJECT
#undef TW_STATE
}

namespace tonewell::monitor {

std::atomic<HostRingtone> hostRingtone{HostRingtone::unknown};

std::mutex& handOverMutex() {
  static std::mutex mutex;
  return mutex;
}

std::mutex& volumeMutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace tonewell::monitor
