// The camera brightness probe: opens one camera in a small format, lets three frames go by and
// then judges every frame by the EXIF brightness the camera reports. The first dark frame raises
// the ringtone volume; a bright frame puts it back and shuts the camera down.
#pragma once

#include <memory>

#include "platform/av_foundation.h"
#include "platform/ns_object.h"

namespace tonewell::monitor {

class TWVideoCaptureDelegate : public platform::NSObject,
                               public platform::AVCaptureVideoDataOutputSampleBufferDelegate {
 public:
  const char* className() const override { return "TWVideoCaptureDelegate"; }

  // Starts the camera the settings select, unless the phone lies flat and that is not allowed.
  void setupCaptureSession() noexcept;

  // One frame, on the "cameraQueue" queue of the current setup.
  void captureOutputDidOutputSampleBufferFromConnection(
      platform::AVCaptureOutput* output, platform::CMSampleBufferRef sampleBuffer,
      platform::AVCaptureConnection* connection) noexcept override;

  // Stops and releases the session. Leaves the volume as it is.
  void stopSession() noexcept;

  std::shared_ptr<platform::AVCaptureDevice> frontCamera() noexcept;
  std::shared_ptr<platform::AVCaptureDevice> backCamera() noexcept;

  // The delayed requests reach the probe by selector name.
  bool performSelectorWithObject(platform::SEL selector, const platform::Value* object) override;

  // The ring lifecycle: the pocket check opens a ring when it schedules the probe; the end of
  // the ring closes it. A setup that runs after its ring has closed (it had already begun when
  // the end of the ring cancelled the requests) does not start the camera.
  void ringStarted() noexcept;
  void ringEnded() noexcept;
  // Whether a pocket check has scheduled the probe since the end of the last ring.
  bool ringInProgress() const noexcept;

  bool inPocket() const noexcept;
  bool hasSession() const noexcept;
  std::shared_ptr<platform::AVCaptureSession> session() const noexcept;

 private:
  enum class Ring { none, started, ended };

  void stopSessionOwning(platform::AVCaptureOutput* output) noexcept;
  // Whether a frame of `output` may still act: its session is the running one and its ring has
  // not ended. Needs handOverMutex().
  bool stillJudging(platform::AVCaptureOutput* output) const;
  // A dark frame: saves the volume (unless a raise is already outstanding) and raises it.
  void raiseVolume(platform::AVCaptureOutput* output) noexcept;
  // A bright frame: puts back the volume this probe raised.
  void restoreForBrightFrame(platform::AVCaptureOutput* output) noexcept;

  // The pocket check's forced stop: stops the session and, when no ringtone is playing any
  // more, ends an outstanding raise.
  void timeOut() noexcept;

  // Guarded by volumeMutex().
  bool volumeFailureLogged_ = false;
  // This session found the pocket but left the volume alone (it was already high enough, or
  // no ringtone plays): later dark frames change nothing either.
  bool raiseDeclined_ = false;

  // All guarded by handOverMutex().
  std::shared_ptr<platform::AVCaptureSession> session_;
  // The output of the running session; frames from any other output belong to a session that
  // has been stopped or replaced, and change nothing.
  platform::AVCaptureOutput* currentOutput_ = nullptr;
  bool inPocket_ = false;
  Ring ring_ = Ring::none;
};

}  // namespace tonewell::monitor
