#include <cmath>

#include "platform/task_runner.h"

namespace platform {

Duration secondsToDuration(double seconds) noexcept {
  if (!std::isfinite(seconds) || seconds <= 0) return Duration{0};
  // A year of nanoseconds fits comfortably; anything longer is treated as "never in practice".
  constexpr double kMaxSeconds = 365.0 * 24 * 3600;
  return Duration{std::llround(std::fmin(seconds, kMaxSeconds) * 1e9)};
}

double durationToSeconds(Duration d) noexcept {
  return static_cast<double>(d.count()) / 1e9;
}

}  // namespace platform
