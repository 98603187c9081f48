// AVFoundation's capture classes, CoreMedia's sample buffers and times, CoreMotion's
// accelerometer and Celestial's volume controller, served by the simulated phone's cameras,
// accelerometer and volume.
#include <cstring>

#include "frameworks.h"
#include "platform/av_foundation.h"
#include "platform/celestial.h"
#include "platform/core_media.h"
#include "platform/core_motion.h"
#include "platform/ns_operation_queue.h"
#include "platform/task_runner.h"
#include "stand_in.h"

namespace emulator {

namespace {

// CMTime: value, timescale, flags, epoch.
constexpr const char* kCMTime = "{?=qiIq}";
constexpr std::uint32_t kCMTimeValid = 1;

struct DeviceState : HostState {
  std::shared_ptr<platform::AVCaptureDevice> device;
};

struct InputState : HostState {
  std::shared_ptr<platform::AVCaptureDeviceInput> input;
};

struct ConnectionState : HostState {
  std::shared_ptr<platform::AVCaptureVideoDataOutput> output;
};

// Hands the simulated session's frames to the binary's delegate on the queue it named.
class FrameForwarder : public platform::AVCaptureVideoDataOutputSampleBufferDelegate {
 public:
  FrameForwarder(Runtime& runtime, Address output, Address delegate)
      : runtime_(runtime), output_(output), delegate_(delegate) {}
  void captureOutputDidOutputSampleBufferFromConnection(
      platform::AVCaptureOutput*, platform::CMSampleBufferRef frame,
      platform::AVCaptureConnection*) noexcept override;
  Address delegate() const { return delegate_; }
  Address connection = 0;

 private:
  Runtime& runtime_;
  Address output_;
  Address delegate_;  // held weakly, as the output holds it
};

struct OutputState : HostState {
  std::shared_ptr<platform::AVCaptureVideoDataOutput> output;
  std::shared_ptr<FrameForwarder> forwarder;
  Address queue = 0;
  Address connection = 0;
  void releaseReferences(Runtime& runtime) override {
    if (output) output->setSampleBufferDelegateQueue(nullptr, nullptr);
    runtime.release(queue);
    runtime.release(connection);
  }
};

struct SessionState : HostState {
  std::shared_ptr<platform::AVCaptureSession> session;
  std::vector<Address> members;  // inputs and outputs, retained as the phone's session does
  void releaseReferences(Runtime& runtime) override {
    if (session) session->stopRunning();
    for (Address member : members) runtime.release(member);
    members.clear();
    session.reset();
  }
};

// The phone's startRunning and stopRunning block until the media server has done them and are
// carried out in the order they arrive. Two sessions driven from different queues within a second
// of each other (while a start still takes) are not ordered: the older session's start can come
// last and take the camera from the newer one.
struct CameraControl {
  Address lastSession = 0;
  const platform::TaskRunner* lastQueue = nullptr;
  std::uint64_t lastTime = 0;

  void check(Runtime& rt, Message& m, const char* selector) {
    constexpr std::uint64_t kCameraStartTakes = 1'000'000'000;  // nanoseconds
    const platform::TaskRunner* queue = platform::TaskRunner::current();
    const std::uint64_t now = phoneNanoseconds();
    if (lastSession != 0 && lastSession != m.self && lastQueue != queue &&
        now - lastTime < kCameraStartTakes) {
      rt.machine().fault(std::string("-[AVCaptureSession ") + selector +
                         "] on a queue other than the one another session's camera was driven "
                         "from just before: the phone does not order the two, and the older "
                         "session's start can take the camera (from " +
                         rt.where(m.caller) + ")");
    }
    lastSession = m.self;
    lastQueue = queue;
    lastTime = now;
  }
};

// One frame while its delegate judges it; the attachments it handed out die with it.
struct SampleBufferState : HostState {
  platform::CMSampleBufferRef frame = nullptr;
  std::vector<std::pair<std::string, Address>> attachments;
  void releaseReferences(Runtime& runtime) override {
    for (const auto& attachment : attachments) runtime.release(attachment.second);
    attachments.clear();
  }
};

struct MotionState : HostState {
  std::shared_ptr<platform::CMMotionManager> manager;
  Address handler = 0;
  void releaseReferences(Runtime& runtime) override {
    if (manager) manager->stopAccelerometerUpdates();
    if (handler) runtime.releaseBlock(handler);
    handler = 0;
  }
};

struct AccelerometerDataState : HostState {
  platform::CMAcceleration acceleration;
};

struct VolumeControllerState : HostState {};

void FrameForwarder::captureOutputDidOutputSampleBufferFromConnection(
    platform::AVCaptureOutput*, platform::CMSampleBufferRef frame,
    platform::AVCaptureConnection*) noexcept {
  Runtime& rt = runtime_;
  hostTask(rt, [&] {
    // The output holds its delegate weakly: one that is gone gets no frames.
    if (!rt.isObject(delegate_) || rt.isDeallocating(delegate_)) return;
    const Address buffer = rt.createInstance(rt.classNamed("CMSampleBuffer"));
    rt.state<SampleBufferState>(buffer)->frame = frame;
    const Arch arch = rt.arch();
    rt.send(delegate_, "captureOutput:didOutputSampleBuffer:fromConnection:",
            {object(rt, output_), Argument::pointer(arch, buffer), object(rt, connection)});
    // The frame is the camera's again: a reference kept past here is a fault.
    rt.state<SampleBufferState>(buffer)->frame = nullptr;
    rt.release(buffer);
  })();
}

std::vector<std::uint8_t> cmTime(std::int64_t value, std::int32_t timescale) {
  std::vector<std::uint8_t> bytes(24, 0);
  const std::uint32_t flags = kCMTimeValid;
  std::memcpy(bytes.data(), &value, 8);
  std::memcpy(bytes.data() + 8, &timescale, 4);
  std::memcpy(bytes.data() + 12, &flags, 4);
  return bytes;
}

}  // namespace

void defineMediaFrameworks(Runtime& rt, Imports& imports) {
  Runtime* r = &rt;
  auto control = std::make_shared<CameraControl>();
  const Arch arch = rt.arch();
  const auto cmTimeType = *parseType(kCMTime, arch);

  for (const auto& [symbol, text] :
       {std::pair{"_AVMediaTypeVideo", platform::AVMediaTypeVideo},
        std::pair{"_AVCaptureSessionPreset352x288", platform::AVCaptureSessionPreset352x288}}) {
    const Address slot = rt.machine().allocateStatic(8, 8);
    rt.machine().storePointer(slot, rt.constantString(text));
    imports.data(symbol, slot);
  }

  // --- Devices -------------------------------------------------------------------------------
  auto deviceObject = [r](const std::shared_ptr<platform::AVCaptureDevice>& device) {
    // One object per camera, as the phone hands out the same device each time.
    const std::string key =
        "camera " + std::to_string(reinterpret_cast<std::uintptr_t>(device->state().get()));
    return r->singleton(key, [&] {
      const Address made = r->retain(r->createInstance(r->classNamed("AVCaptureDevice")));
      r->state<DeviceState>(made)->device = device;
      return made;
    });
  };
  auto deviceOf = [r](Message& m, Address object) -> platform::AVCaptureDevice& {
    auto* state = r->state<DeviceState>(object);
    if (state == nullptr) m.runtime.machine().fault("a device argument that is no AVCaptureDevice");
    return *state->device;
  };
  const std::string avDevice = "AVFoundation/AVCaptureDevice.h";
  defineStandIn(rt, "AVCaptureDevice", "NSObject", avDevice)
      .state<DeviceState>()
      .classMethod(
          "devicesWithMediaType:", "@#:@",
          [r, deviceObject](Message& m) {
            auto type = stringArgument(m, 0);
            const Address array = r->createInstance(r->classNamed("__NSArrayI"));
            if (type) {
              for (const auto& device : platform::AVCaptureDevice::devicesWithMediaType(*type)) {
                r->state<ArrayState>(array)->items.push_back(r->retain(deviceObject(device)));
              }
            }
            return autoreleased(*r, array);
          })
      .instance("position", "%I@:",
                [deviceOf](Message& m) { return integerResult(deviceOf(m, m.self).position()); })
      .instance("lockForConfiguration:", "%B@:^@",
                [r, deviceOf](Message& m) {
                  std::shared_ptr<platform::NSError> error;
                  const bool locked = deviceOf(m, m.self).lockForConfiguration(&error);
                  if (!locked && m.object(0)) {
                    r->machine().storePointer(
                        m.object(0), error ? errorObject(*r, error->domain(), error->code(),
                                                         error->localizedDescription())
                                           : 0);
                  }
                  return boolean(locked);
                })
      .instance("unlockForConfiguration", "v@:",
                [deviceOf](Message& m) {
                  deviceOf(m, m.self).unlockForConfiguration();
                  return none();
                })
      .instance("isWhiteBalanceModeSupported:", "%B@:%I",
                [deviceOf](Message& m) {
                  return boolean(deviceOf(m, m.self).isWhiteBalanceModeSupported(
                      static_cast<platform::AVCaptureWhiteBalanceMode>(m.integer(0))));
                })
      .instance("setWhiteBalanceMode:", "v@:%I",
                [deviceOf](Message& m) {
                  deviceOf(m, m.self).setWhiteBalanceMode(
                      static_cast<platform::AVCaptureWhiteBalanceMode>(m.integer(0)));
                  return none();
                })
      .instance("isFocusModeSupported:", "%B@:%I",
                [deviceOf](Message& m) {
                  return boolean(deviceOf(m, m.self).isFocusModeSupported(
                      static_cast<platform::AVCaptureFocusMode>(m.integer(0))));
                })
      .instance("setFocusMode:", "v@:%I",
                [deviceOf](Message& m) {
                  deviceOf(m, m.self).setFocusMode(
                      static_cast<platform::AVCaptureFocusMode>(m.integer(0)));
                  return none();
                })
      .instance("isFlashModeSupported:", "%B@:%I",
                [deviceOf](Message& m) {
                  return boolean(deviceOf(m, m.self).isFlashModeSupported(
                      static_cast<platform::AVCaptureFlashMode>(m.integer(0))));
                })
      .instance("setFlashMode:", "v@:%I", [deviceOf](Message& m) {
        deviceOf(m, m.self).setFlashMode(static_cast<platform::AVCaptureFlashMode>(m.integer(0)));
        return none();
      });

  defineStandIn(rt, "AVCaptureInput", "NSObject", "AVFoundation/AVCaptureInput.h");
  defineStandIn(rt, "AVCaptureDeviceInput", "AVCaptureInput", "AVFoundation/AVCaptureInput.h")
      .state<InputState>()
      .classMethod("deviceInputWithDevice:error:", "@#:@^@", [r, deviceOf](Message& m) {
        auto* device = r->state<DeviceState>(m.object(0));
        std::shared_ptr<platform::NSError> error;
        auto input = device ? platform::AVCaptureDeviceInput::deviceInputWithDeviceError(
                                  device->device, &error)
                            : nullptr;
        if (!input) {
          if (m.object(1)) {
            r->machine().storePointer(m.object(1),
                                      error ? errorObject(*r, error->domain(), error->code(),
                                                          error->localizedDescription())
                                            : 0);
          }
          return object(*r, 0);
        }
        const Address made = r->createInstance(r->classNamed("AVCaptureDeviceInput"));
        r->state<InputState>(made)->input = std::move(input);
        (void)deviceOf;
        return autoreleased(*r, made);
      });

  // --- Outputs and connections --------------------------------------------------------------
  const std::string avOutput = "AVFoundation/AVCaptureOutput.h";
  defineStandIn(rt, "AVCaptureConnection", "NSObject", "AVFoundation/AVCaptureSession.h")
      .state<ConnectionState>()
      .instance("isVideoMinFrameDurationSupported", "%B@:", [](Message&) { return boolean(true); })
      .instance("setVideoMinFrameDuration:", std::string("v@:") + kCMTime,
                [r](Message& m) {
                  const auto& bytes = m.args.at(0).bytes;
                  std::int64_t value = 0;
                  std::int32_t timescale = 0;
                  std::memcpy(&value, bytes.data(), 8);
                  std::memcpy(&timescale, bytes.data() + 8, 4);
                  if (auto& output = r->state<ConnectionState>(m.self)->output) {
                    output->setMinFrameDuration(platform::CMTimeMake(value, timescale));
                  }
                  return none();
                })
      .instance("videoMinFrameDuration", std::string(kCMTime) + "@:", [r, cmTimeType](Message& m) {
        platform::CMTime t;
        if (auto& output = r->state<ConnectionState>(m.self)->output)
          t = output->minFrameDuration();
        return Argument::aggregate(cmTimeType, cmTime(t.value, t.timescale));
      });
  defineStandIn(rt, "AVCaptureOutput", "NSObject", avOutput);
  defineStandIn(rt, "AVCaptureVideoDataOutput", "AVCaptureOutput", avOutput)
      .state<OutputState>()
      .instance("init", "@@:",
                [r](Message& m) {
                  r->state<OutputState>(m.self)->output =
                      std::make_shared<platform::AVCaptureVideoDataOutput>();
                  return object(*r, m.self);
                })
      .instance(
          "setAlwaysDiscardsLateVideoFrames:", "v@:%B",
          [r](Message& m) {
            r->state<OutputState>(m.self)->output->setAlwaysDiscardsLateVideoFrames(m.boolean(0));
            return none();
          })
      .instance(
          "alwaysDiscardsLateVideoFrames", "%B@:",
          [r](Message& m) {
            return boolean(r->state<OutputState>(m.self)->output->alwaysDiscardsLateVideoFrames());
          })
      .instance("setSampleBufferDelegate:queue:", "v@:@@",
                [r](Message& m) {
                  auto* state = r->state<OutputState>(m.self);
                  const Address delegate = m.object(0);
                  const Address queue = m.object(1);
                  if (delegate && queue == 0) {
                    r->machine().fault(
                        "setSampleBufferDelegate:queue: with a delegate and no queue "
                        "(raised NSInvalidArgumentException), from " +
                        r->where(m.caller));
                  }
                  r->retain(queue);
                  r->release(state->queue);
                  state->queue = queue;
                  if (delegate == 0) {
                    state->output->setSampleBufferDelegateQueue(nullptr, nullptr);
                    state->forwarder.reset();
                    return none();
                  }
                  state->forwarder = std::make_shared<FrameForwarder>(*r, m.self, delegate);
                  state->forwarder->connection = state->connection;
                  state->output->setSampleBufferDelegateQueue(state->forwarder.get(),
                                                              queueRunner(*r, queue));
                  return none();
                })
      .instance("connectionWithMediaType:", "@@:@", [r](Message& m) {
        auto* state = r->state<OutputState>(m.self);
        // A connection exists once the output is in a session with a camera input.
        if (state->connection == 0) return object(*r, 0);
        return object(*r, state->connection);
      });

  // --- Sessions ------------------------------------------------------------------------------
  auto member = [r](Message& m, std::size_t index) -> std::pair<Address, HostState*> {
    const Address object = m.object(index);
    return {object, r->stateOf(object)};
  };
  defineStandIn(rt, "AVCaptureSession", "NSObject", "AVFoundation/AVCaptureSession.h")
      .state<SessionState>()
      .instance("init", "@@:",
                [r](Message& m) {
                  r->state<SessionState>(m.self)->session =
                      std::make_shared<platform::AVCaptureSession>();
                  return object(*r, m.self);
                })
      .instance("canSetSessionPreset:", "%B@:@",
                [](Message& m) {
                  return boolean(stringArgument(m, 0) ==
                                 std::string(platform::AVCaptureSessionPreset352x288));
                })
      .instance("setSessionPreset:", "v@:@",
                [r](Message& m) {
                  auto preset = stringArgument(m, 0);
                  if (preset) r->state<SessionState>(m.self)->session->setSessionPreset(*preset);
                  return none();
                })
      .instance("canAddInput:", "%B@:@",
                [r, member](Message& m) {
                  auto* input = dynamic_cast<InputState*>(member(m, 0).second);
                  return boolean(
                      input && r->state<SessionState>(m.self)->session->canAddInput(input->input));
                })
      .instance("addInput:", "v@:@",
                [r, member](Message& m) {
                  auto [address, state] = member(m, 0);
                  auto* input = dynamic_cast<InputState*>(state);
                  auto* session = r->state<SessionState>(m.self);
                  if (input == nullptr || !session->session->canAddInput(input->input)) {
                    r->machine().fault(
                        "-[AVCaptureSession addInput:] of an input it cannot take "
                        "(raised NSInvalidArgumentException), from " +
                        r->where(m.caller));
                  }
                  session->session->addInput(input->input);
                  session->members.push_back(r->retain(address));
                  return none();
                })
      .instance("canAddOutput:", "%B@:@",
                [r, member](Message& m) {
                  auto* output = dynamic_cast<OutputState*>(member(m, 0).second);
                  return boolean(output && r->state<SessionState>(m.self)->session->canAddOutput(
                                               output->output));
                })
      .instance("addOutput:", "v@:@",
                [r, member](Message& m) {
                  auto [address, state] = member(m, 0);
                  auto* output = dynamic_cast<OutputState*>(state);
                  auto* session = r->state<SessionState>(m.self);
                  if (output == nullptr || !session->session->canAddOutput(output->output)) {
                    r->machine().fault(
                        "-[AVCaptureSession addOutput:] of an output it cannot take "
                        "(raised NSInvalidArgumentException), from " +
                        r->where(m.caller));
                  }
                  session->session->addOutput(output->output);
                  session->members.push_back(r->retain(address));
                  if (output->connection == 0) {
                    output->connection = r->createInstance(r->classNamed("AVCaptureConnection"));
                    r->state<ConnectionState>(output->connection)->output = output->output;
                    if (output->forwarder) output->forwarder->connection = output->connection;
                  }
                  return none();
                })
      .instance("startRunning", "v@:",
                [r, control](Message& m) {
                  control->check(*r, m, "startRunning");
                  r->state<SessionState>(m.self)->session->startRunning();
                  return none();
                })
      .instance("stopRunning", "v@:",
                [r, control](Message& m) {
                  control->check(*r, m, "stopRunning");
                  r->state<SessionState>(m.self)->session->stopRunning();
                  return none();
                })
      .instance("isRunning", "%B@:", [r](Message& m) {
        return boolean(r->state<SessionState>(m.self)->session->isRunning());
      });

  // --- CoreMedia -------------------------------------------------------------------------------
  defineStandIn(rt, "CMSampleBuffer", "NSObject", "CoreMedia/CMSampleBuffer.h")
      .state<SampleBufferState>();
  imports.function("_CMTimeMake", [cmTimeType](Machine&, NativeCall& c) {
    c.prepareAggregateResult(cmTimeType);
    const std::int64_t value = static_cast<std::int64_t>(c.integer(8, true));
    const std::int32_t timescale = static_cast<std::int32_t>(c.integer(4, true));
    c.returnAggregate(cmTimeType, cmTime(value, timescale));
  });
  imports.function("_CMGetAttachment", [r](Machine& m, NativeCall& c) {
    const Address buffer = c.pointer();
    const Address key = c.pointer();
    const Address modeOut = c.pointer();
    auto* state = r->state<SampleBufferState>(buffer);
    if (state == nullptr)
      m.fault("CMGetAttachment of " + Machine::hex(buffer) + ", which is no sample buffer");
    if (state->frame == nullptr) {
      m.fault("CMGetAttachment of a sample buffer after its delivery ended, from " +
              r->where(m.returnAddress()));
    }
    auto keyText = r->stringOf(key);
    if (!keyText) m.fault("CMGetAttachment with a key that is no string");
    if (modeOut) m.store<std::uint32_t>(modeOut, 0);
    for (const auto& [name, attachment] : state->attachments) {
      if (name == *keyText) return c.returnPointer(attachment);
    }
    std::uint32_t mode = 0;
    const platform::Value* value = platform::CMGetAttachment(state->frame, *keyText, &mode);
    if (value == nullptr) return c.returnPointer(0);
    if (modeOut) m.store<std::uint32_t>(modeOut, mode);
    // Owned by the buffer (the get rule): freed when the frame's delivery ends.
    const Address attachment = r->newObject(*value);
    state->attachments.emplace_back(*keyText, attachment);
    c.returnPointer(attachment);
  });
  {
    const Address slot = rt.machine().allocateStatic(8, 8);
    rt.machine().storePointer(slot, rt.constantString(platform::kCGImagePropertyExifDictionary));
    imports.data("_kCGImagePropertyExifDictionary", slot);
  }

  // --- CoreMotion ------------------------------------------------------------------------------
  const auto accelerationType = *parseType("{?=ddd}", arch);
  defineStandIn(rt, "CMLogItem", "NSObject", "CoreMotion/CMLogItem.h");
  defineStandIn(rt, "CMAccelerometerData", "CMLogItem", "CoreMotion/CMAccelerometer.h")
      .state<AccelerometerDataState>()
      .instance("acceleration", "{?=ddd}@:", [r, accelerationType](Message& m) {
        const auto a = r->state<AccelerometerDataState>(m.self)->acceleration;
        std::vector<std::uint8_t> bytes(24);
        std::memcpy(bytes.data(), &a.x, 8);
        std::memcpy(bytes.data() + 8, &a.y, 8);
        std::memcpy(bytes.data() + 16, &a.z, 8);
        return Argument::aggregate(accelerationType, bytes);
      });
  defineStandIn(rt, "CMMotionManager", "NSObject", "CoreMotion/CMMotionManager.h")
      .state<MotionState>()
      .instance("init", "@@:",
                [r](Message& m) {
                  r->state<MotionState>(m.self)->manager =
                      std::make_shared<platform::CMMotionManager>();
                  return object(*r, m.self);
                })
      .instance(
          "startAccelerometerUpdatesToQueue:withHandler:", "v@:@@?",
          [r](Message& m) {
            auto* state = r->state<MotionState>(m.self);
            auto* queue = r->state<OperationQueueState>(m.object(0));
            if (queue == nullptr || !queue->queue) {
              r->machine().fault("accelerometer updates to " + Machine::hex(m.object(0)) +
                                 ", which is no operation queue, from " + r->where(m.caller));
            }
            const Address block = r->copyBlock(m.object(1));
            if (state->handler) r->releaseBlock(state->handler);
            state->handler = block;
            // The queue lives as long as the updates run, as the phone's manager keeps it.
            const Address queueObject = r->retain(m.object(0));
            auto keep = std::shared_ptr<void>(nullptr, [r, queueObject](void*) {
              if (!r->failure()) r->release(queueObject);
            });
            state->manager->startAccelerometerUpdatesToQueueWithHandler(
                queue->queue, [r, block, keep](const platform::CMAccelerometerData* data,
                                               const platform::NSError*) {
                  hostTask(*r, [&] {
                    Address sample = 0;
                    if (data) {
                      sample =
                          r->autorelease(r->createInstance(r->classNamed("CMAccelerometerData")));
                      r->state<AccelerometerDataState>(sample)->acceleration = data->acceleration();
                    }
                    r->invokeBlock(
                        block,
                        {Argument::pointer(r->arch(), sample), Argument::pointer(r->arch(), 0)},
                        Type::voidType());
                  })();
                });
            return none();
          })
      .instance("stopAccelerometerUpdates", "v@:",
                [r](Message& m) {
                  r->state<MotionState>(m.self)->manager->stopAccelerometerUpdates();
                  return none();
                })
      .instance("isAccelerometerActive", "%B@:", [r](Message& m) {
        return boolean(r->state<MotionState>(m.self)->manager->isAccelerometerActive());
      });

  // --- Celestial -------------------------------------------------------------------------------
  defineStandIn(rt, "AVSystemController", "NSObject",
                "Celestial's AVSystemController (private: the binding's own declaration)")
      .state<VolumeControllerState>()
      .classMethod("sharedAVSystemController", "@#:",
                   [r](Message& m) {
                     ClassInfo* cls = instanceClass(m);
                     return object(*r, r->singleton("AVSystemController", [&] {
                       return r->retain(r->createInstance(cls));
                     }));
                   })
      .instance("getVolume:forCategory:", "%B@:^f@",
                [r](Message& m) {
                  auto category = stringArgument(m, 1);
                  float volume = 0;
                  auto* controller = platform::AVSystemController::sharedAVSystemController();
                  if (!category || m.object(0) == 0 ||
                      !controller->getVolumeForCategory(&volume, *category)) {
                    return boolean(false);
                  }
                  r->machine().store<float>(m.object(0), volume);
                  return boolean(true);
                })
      .instance("setVolumeTo:forCategory:", "%B@:f@", [](Message& m) {
        auto category = stringArgument(m, 1);
        if (!category) return boolean(false);
        return boolean(
            platform::AVSystemController::sharedAVSystemController()->setVolumeToForCategory(
                m.f32(0), *category));
      });
}

}  // namespace emulator
