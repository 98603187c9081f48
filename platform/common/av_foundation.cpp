// What a capture output keeps of its frame receiver, the same on every platform.
#include "platform/av_foundation.h"

namespace platform {

void AVCaptureVideoDataOutput::setSampleBufferDelegateQueue(
    AVCaptureVideoDataOutputSampleBufferDelegate* delegate, dispatch_queue_t queue) noexcept {
  delegate_ = delegate;
  queue_ = std::move(queue);
}

}  // namespace platform
