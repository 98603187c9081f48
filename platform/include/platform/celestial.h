// AVSystemController of the private media framework Celestial: the system's volume controller.
#pragma once

#include <string_view>

namespace platform {

class AVSystemController {
 public:
  // The one shared controller, alive for the life of the process.
  static AVSystemController* sharedAVSystemController() noexcept;

  // Writes the volume of `category` (0.0 to 1.0) through `volume`. On failure returns false and
  // leaves `*volume` unchanged.
  bool getVolumeForCategory(float* volume, std::string_view category) noexcept;

  // Sets the volume of `category`, clamped to 0.0 to 1.0 (a NaN sets nothing). Returns whether
  // it was set.
  bool setVolumeToForCategory(float volume, std::string_view category) noexcept;

 private:
  AVSystemController() = default;
  // The volume a set takes: clamped to 0.0 to 1.0; false for a NaN.
  static bool settable(float volume, float* clamped) noexcept;
};

}  // namespace platform
