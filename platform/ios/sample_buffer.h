// A frame of the phone's cameras as the probe sees it.
#pragma once

#import <CoreMedia/CoreMedia.h>

#include <list>
#include <string>
#include <utility>

#include "platform/value.h"

namespace platform {

// A frame as the probe sees it: the phone's sample buffer, and the attachments it has asked for,
// converted once and kept while the frame is being judged.
struct opaqueCMSampleBuffer {
  ::CMSampleBufferRef buffer;
  std::list<std::pair<std::string, Value>> converted;
};

}  // namespace platform
