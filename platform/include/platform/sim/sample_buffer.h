// A frame of the simulated cameras: its metadata attachments only (the probe never reads pixels).
#pragma once

#include "platform/core_media.h"
#include "platform/value.h"

namespace platform {

struct opaqueCMSampleBuffer {
  Dictionary attachments;
};

}  // namespace platform
