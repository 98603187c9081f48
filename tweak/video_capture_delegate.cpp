#include "video_capture_delegate.h"

#include <cstring>

#include "frame_judgement.h"
#include "log_lines.h"
#include "platform/dispatch.h"
#include "platform/ns_log.h"
#include "ringtone_volume.h"
#include "shared_state.h"

using namespace platform;

namespace tonewell::monitor {

namespace {

std::shared_ptr<AVCaptureDevice> firstDeviceAt(AVCaptureDevicePosition position) {
  for (auto& device : AVCaptureDevice::devicesWithMediaType(AVMediaTypeVideo)) {
    if (device->position() == position) return device;  // the list holds no null
  }
  return nullptr;
}

}  // namespace

bool TWVideoCaptureDelegate::performSelectorWithObject(SEL selector, const Value*) {
  if (std::strcmp(selector, "setupCaptureSession") == 0) {
    setupCaptureSession();
    return true;
  }
  if (std::strcmp(selector, "stopSession") == 0) {
    timeOut();  // only the pocket check's forced stop comes by request
    return true;
  }
  return false;
}

std::shared_ptr<AVCaptureDevice> TWVideoCaptureDelegate::frontCamera() noexcept {
  return firstDeviceAt(AVCaptureDevicePositionFront);
}

std::shared_ptr<AVCaptureDevice> TWVideoCaptureDelegate::backCamera() noexcept {
  return firstDeviceAt(AVCaptureDevicePositionBack);
}

void TWVideoCaptureDelegate::setupCaptureSession() noexcept {
  try {
    std::shared_ptr<AVCaptureSession> replaced;
    auto session = std::make_shared<AVCaptureSession>();
    {
      std::lock_guard lock(handOverMutex());
      sampleCount = 0;
      if (ring_ == Ring::ended) return;
      if (isLyingFlat && !increaseVolumeIfHorizontal) {
        NSLog(log_lines::kHorizontal);
        return;
      }
      // A camera must never run unowned: an earlier session still running is stopped (below,
      // outside the lock) before this one takes its place.
      replaced = std::move(session_);
      session_ = session;
      currentOutput_ = nullptr;
    }
    {
      std::lock_guard volume(volumeMutex());
      volumeFailureLogged_ = false;
      raiseDeclined_ = false;
    }
    if (replaced) replaced->stopRunning();
    session->setSessionPreset(AVCaptureSessionPreset352x288);

    auto device = useFrontCamera ? frontCamera() : backCamera();
    if (!device) {
      NSLog(log_lines::kNoCameraDevice);
      return;
    }

    // The mode setters need the configuration lock; a device that refuses it keeps its modes.
    if (device->lockForConfiguration(nullptr)) {
      const bool balance = device->isWhiteBalanceModeSupported(AVCaptureWhiteBalanceModeLocked);
      if (balance) {  // unreachable: every camera served can lock its white balance
        device->setWhiteBalanceMode(AVCaptureWhiteBalanceModeLocked);
      }
      if (device->isFocusModeSupported(AVCaptureFocusModeLocked)) {
        device->setFocusMode(AVCaptureFocusModeLocked);
      }
      if (device->isFlashModeSupported(AVCaptureFlashModeOff)) {
        device->setFlashMode(AVCaptureFlashModeOff);
      }
      device->unlockForConfiguration();
    }

    std::shared_ptr<AVCaptureInput> input =
        AVCaptureDeviceInput::deviceInputWithDeviceError(device, nullptr);
    if (!input) {
      NSLog(log_lines::kNoDeviceInput);
      return;
    }
    if (!session->canAddInput(input)) {
      NSLog(log_lines::kInputRefused);
      return;
    }
    session->addInput(input);

    auto output = std::make_shared<AVCaptureVideoDataOutput>();
    output->setAlwaysDiscardsLateVideoFrames(true);
    output->setMinFrameDuration(CMTimeMake(1, kFramesPerSecond));
    output->setSampleBufferDelegateQueue(this, dispatch_queue_create("cameraQueue", nullptr));

    std::shared_ptr<AVCaptureOutput> baseOutput = output;
    if (!session->canAddOutput(baseOutput)) {
      NSLog(log_lines::kOutputRefused);
      return;
    }
    session->addOutput(baseOutput);

    // Start only if this session is still the probe's own: a stop that came in meanwhile (the
    // time-out, the end of the ring) has released it.
    std::lock_guard lock(handOverMutex());
    if (session_ != session || ring_ == Ring::ended) return;  // unreachable: a race of threads
    currentOutput_ = output.get();
    session->startRunning();
  } catch (...) {  // unreachable: out of memory
    NSLog(log_lines::kSessionOutOfMemory);
  }
}

void TWVideoCaptureDelegate::captureOutputDidOutputSampleBufferFromConnection(
    AVCaptureOutput* output, CMSampleBufferRef sampleBuffer, AVCaptureConnection*) noexcept {
  bool wasInPocket = false;
  std::intptr_t frameNumber = 0;
  {
    std::lock_guard lock(handOverMutex());
    if (output == nullptr || output != currentOutput_) return;
    frameNumber = ++sampleCount;
    wasInPocket = inPocket_;
  }
  const Value* exif = frameNumber >= kFirstJudgedFrame
                          ? CMGetAttachment(sampleBuffer, kCGImagePropertyExifDictionary, nullptr)
                          : nullptr;
  const FrameJudgement judgement =
      judgeFrame(frameNumber, exif, static_cast<double>(pocketBrightness.load()));
  if (judgement.verdict == FrameVerdict::ignored) return;
  if (judgement.verdict == FrameVerdict::noExif) {
    NSLog(log_lines::kNoExif);
    stopSessionOwning(output);
    return;
  }
  if (enableDebugLogging) {
    NSLog(log_lines::kAttachments, exif);
    NSLog(log_lines::kBrightness, judgement.brightness);
  }
  if (judgement.verdict == FrameVerdict::dark) {
    if (!wasInPocket) raiseVolume(output);
    return;
  }
  restoreForBrightFrame(output);
  stopSessionOwning(output);
}

bool TWVideoCaptureDelegate::stillJudging(AVCaptureOutput* output) const {
  return output == currentOutput_ && ring_ != Ring::ended;  // unreachable: a race of threads
}

void TWVideoCaptureDelegate::raiseVolume(AVCaptureOutput* output) noexcept {
  std::lock_guard volume(volumeMutex());
  if (raiseDeclined_) return;
  {
    // A stop, a new setup or the end of the ring may have come since the frame was counted.
    std::lock_guard lock(handOverMutex());
    if (!stillJudging(output) || inPocket_) return;  // unreachable: a race of threads
  }
  // A check made after the ring ended may run, but a ring that is over is not made louder.
  if (hostRingtone == HostRingtone::stopped) {
    if (enableDebugLogging) NSLog(log_lines::kNoRingtonePlaying);
    raiseDeclined_ = true;
    return;
  }
  // A failed raise is said once per setup; the next dark frame tries again.
  auto sayOnce = [this](std::string_view format, const std::string& argument = {}) {
    if (volumeFailureLogged_) return;
    volumeFailureLogged_ = true;
    if (argument.empty()) {
      NSLog(format);
    } else {
      NSLog(format, argument);
    }
  };
  const float level = static_cast<float>(ringingVolumeWhileInPocket.load());
  switch (raiseRingtoneVolumeTo(level)) {  // unreachable: its default (every result has a case)
    case RaiseResult::readFailed:
      // Without the true volume there would be nothing right to put back later.
      sayOnce(log_lines::kVolumeUnreadable);
      return;
    case RaiseResult::notRecorded:
      // A raise the record does not hold would be lost with the host process.
      sayOnce(log_lines::kRecordUnwritable, ringtoneVolumeRecordPath());
      return;
    case RaiseResult::setFailed:
      sayOnce(log_lines::kVolumeNotSet);
      return;
    case RaiseResult::notAbove:
      if (enableDebugLogging) {
        NSLog(log_lines::kAlreadyAtLevel);
      }
      raiseDeclined_ = true;
      return;
    case RaiseResult::raised:
      break;
  }
  NSLog(log_lines::kRaised);
  std::lock_guard lock(handOverMutex());
  // A stop that came during the raise has left the probe: the raise stays outstanding for the
  // end of the ring (which waits for this one) to undo.
  if (output == currentOutput_) inPocket_ = true;
}

void TWVideoCaptureDelegate::restoreForBrightFrame(AVCaptureOutput* output) noexcept {
  std::lock_guard volume(volumeMutex());
  {
    std::lock_guard lock(handOverMutex());
    if (output != currentOutput_ || !inPocket_) return;  // unreachable: a race of threads
    inPocket_ = false;
  }
  if (putRingtoneVolumeBack() == PutBackResult::restored) {
    NSLog(log_lines::kRestoredOutOfPocket);
  }
}

void TWVideoCaptureDelegate::timeOut() noexcept {
  stopSession();
  // The forced stop of a check made while no ringtone plays leaves no raise behind.
  if (hostRingtone == HostRingtone::stopped) {
    std::lock_guard volume(volumeMutex());
    putRingtoneVolumeBack();
  }
}

void TWVideoCaptureDelegate::stopSession() noexcept {
  stopSessionOwning(nullptr);
}

void TWVideoCaptureDelegate::stopSessionOwning(AVCaptureOutput* output) noexcept {
  if (enableDebugLogging) NSLog(log_lines::kStoppingCapture);
  std::shared_ptr<AVCaptureSession> stopped;
  {
    std::lock_guard lock(handOverMutex());
    // A frame stops only the session it came from; a setup may have replaced it meanwhile.
    if (output != nullptr && output != currentOutput_) return;  // unreachable: a race of threads
    stopped = std::move(session_);
    currentOutput_ = nullptr;
    inPocket_ = false;
  }
  // Outside the lock: stopRunning waits for a frame in delivery, which may be waiting for it.
  if (stopped) stopped->stopRunning();
}

void TWVideoCaptureDelegate::ringStarted() noexcept {
  std::lock_guard lock(handOverMutex());
  ring_ = Ring::started;
}

void TWVideoCaptureDelegate::ringEnded() noexcept {
  std::lock_guard lock(handOverMutex());
  ring_ = Ring::ended;
}

bool TWVideoCaptureDelegate::ringInProgress() const noexcept {
  std::lock_guard lock(handOverMutex());
  return ring_ == Ring::started;
}

bool TWVideoCaptureDelegate::inPocket() const noexcept {
  std::lock_guard lock(handOverMutex());
  return inPocket_;
}

bool TWVideoCaptureDelegate::hasSession() const noexcept {
  std::lock_guard lock(handOverMutex());
  return session_ != nullptr;
}

std::shared_ptr<AVCaptureSession> TWVideoCaptureDelegate::session() const noexcept {
  std::lock_guard lock(handOverMutex());
  return session_;
}

}  // namespace tonewell::monitor
