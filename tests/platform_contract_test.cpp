// What the platform headers promise their callers, tested against the headers alone: the monitor
// relies on these promises on the phone and on the simulated phone alike.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/av_foundation.h"
#include "platform/cf_preferences.h"
#include "platform/core_media.h"
#include "platform/core_motion.h"
#include "platform/dispatch.h"
#include "platform/ns_operation_queue.h"
#include "platform/objc_runtime.h"
#include "platform/sim/phone.h"
#include "platform/sim/springboard.h"
#include "platform/ui_kit.h"
#include "test_support.h"

namespace {

using namespace platform;
using testing_support::seconds;

// --- The simulated phone ----------------------------------------------------------------------

// A scope's phone is a fresh one of its own; when the scope ends, the phone that was current
// before is current again, as it was left.
TEST(ScopedPhoneContract, AScopeHasAFreshPhoneAndGivesTheOuterOneBackAsItWas) {
  testing_support::TemporaryFolder outerHome;
  testing_support::TemporaryFolder innerHome;
  sim::ScopedPhone outer(outerHome.path());
  EXPECT_EQ(&sim::currentPhone(), &outer.phone());
  sim::setVolume("Ringtone", 0.2f);
  sim::fastForwardBy(seconds(5));
  bool outerTaskRan = false;
  sim::postAt(seconds(6), [&] { outerTaskRan = true; });
  {
    sim::ScopedPhone inner(innerHome.path());
    EXPECT_EQ(&sim::currentPhone(), &inner.phone());
    EXPECT_EQ(sim::now(), Duration{0});
    EXPECT_EQ(sim::volume("Ringtone"), 0.5f);
    EXPECT_EQ(sim::pendingTaskCount(), 0u);
    EXPECT_EQ(sim::homeFolder(), innerHome.path());
    EXPECT_FALSE(CFPreferencesSetValue("enabled", nullptr, "not/a/domain",
                                       kCFPreferencesCurrentUser, kCFPreferencesAnyHost));
    EXPECT_NE(sim::lastPreferencesWriteError(), "");
    bool innerTaskRan = false;
    sim::postAt(seconds(1), [&] { innerTaskRan = true; });
    sim::fastForwardBy(seconds(0.5));
    EXPECT_FALSE(innerTaskRan);
  }  // its pending task goes with it
  EXPECT_EQ(&sim::currentPhone(), &outer.phone());
  EXPECT_EQ(sim::now(), seconds(5));
  EXPECT_EQ(sim::volume("Ringtone"), 0.2f);
  EXPECT_EQ(sim::homeFolder(), outerHome.path());
  EXPECT_EQ(sim::lastPreferencesWriteError(), "");
  EXPECT_EQ(sim::pendingTaskCount(), 1u);
  sim::fastForwardUntilNoTasksRemain();
  EXPECT_TRUE(outerTaskRan);
  EXPECT_EQ(sim::now(), seconds(6));
}

// --- CFPreferences ----------------------------------------------------------------------------

constexpr std::string_view kDomain = "com.example.contract";

class CFPreferencesContract : public testing_support::PhoneTest {
 protected:
  std::optional<std::vector<std::string>> keys() {
    return CFPreferencesCopyKeyList(kDomain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
  }
  std::optional<Dictionary> values(const std::vector<std::string>& names) {
    return CFPreferencesCopyMultiple(names, kDomain, kCFPreferencesCurrentUser,
                                     kCFPreferencesAnyHost);
  }
  bool set(std::string_view key, const Value* value) {
    return CFPreferencesSetValue(key, value, kDomain, kCFPreferencesCurrentUser,
                                 kCFPreferencesAnyHost);
  }
  std::string path() const { return preferencesPath(std::string(kDomain)); }
};

TEST_F(CFPreferencesContract, ADomainNeverWrittenIsEmptyNotUnreadable) {
  ASSERT_TRUE(keys().has_value());
  EXPECT_TRUE(keys()->empty());
  ASSERT_TRUE(values({"a"}).has_value());
  EXPECT_TRUE(values({"a"})->count() == 0);
}

TEST_F(CFPreferencesContract, StoredValuesComeBackAndAbsentKeysAreLeftOut) {
  const Value two(2.5), text("x");
  ASSERT_TRUE(set("two", &two));
  ASSERT_TRUE(set("text", &text));
  auto stored = keys();
  ASSERT_TRUE(stored.has_value());
  std::sort(stored->begin(), stored->end());
  EXPECT_EQ(*stored, (std::vector<std::string>{"text", "two"}));

  const auto got = values({"two", "missing", "text"});
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->count(), 2u);
  EXPECT_EQ(got->objectForKey("missing"), nullptr);
  ASSERT_NE(got->objectForKey("two"), nullptr);
  EXPECT_EQ(*got->objectForKey("two"), two);
}

TEST_F(CFPreferencesContract, ANullValueRemovesTheKey) {
  const Value one(1);
  ASSERT_TRUE(set("one", &one));
  ASSERT_TRUE(set("one", nullptr));
  EXPECT_TRUE(keys()->empty());
}

TEST_F(CFPreferencesContract, ACorruptDomainIsUnreadableAndAFailedWriteChangesNothing) {
  storePreferencesFile(std::string(kDomain), "not a property list");
  EXPECT_FALSE(keys().has_value());
  EXPECT_FALSE(values({"a"}).has_value());

  // A domain whose file cannot be replaced: the write reports it and the folder stays as it was.
  std::filesystem::remove(path());
  std::filesystem::create_directories(path() + "/in-the-way");
  const Value one(1);
  EXPECT_FALSE(set("one", &one));
  EXPECT_TRUE(std::filesystem::is_directory(path() + "/in-the-way"));
}

// --- CoreMotion -------------------------------------------------------------------------------

// Handlers carry no state: what they see goes here.
std::atomic<int> samplesToFirst{0}, samplesToSecond{0}, samplesWithoutData{0};
double lastZ = 0;

void firstHandler(const CMAccelerometerData* data, const NSError*) {
  ++samplesToFirst;
  if (data == nullptr) {
    ++samplesWithoutData;
    return;
  }
  lastZ = data->acceleration().z;
}
void secondHandler(const CMAccelerometerData*, const NSError*) {
  ++samplesToSecond;
}

class CoreMotionContract : public testing_support::PhoneTest {
 protected:
  void SetUp() override {
    samplesToFirst = samplesToSecond = samplesWithoutData = 0;
    lastZ = 0;
    sim::setAccelerometerInterval(seconds(0.1));
    sim::setAcceleration(CMAcceleration{0, 0, -1});
  }
  std::shared_ptr<NSOperationQueue> queue_ = std::make_shared<NSOperationQueue>();
  CMMotionManager manager_;
};

TEST_F(CoreMotionContract, SamplesComeEveryIntervalTheFirstOneIntervalFromNow) {
  manager_.startAccelerometerUpdatesToQueueWithHandler(queue_, firstHandler);
  EXPECT_TRUE(manager_.isAccelerometerActive());
  sim::fastForwardBy(seconds(0.09));
  EXPECT_EQ(samplesToFirst, 0);
  sim::fastForwardBy(seconds(0.02));
  EXPECT_EQ(samplesToFirst, 1);
  EXPECT_EQ(lastZ, -1.0);
  sim::fastForwardBy(seconds(0.2));
  EXPECT_EQ(samplesToFirst, 3);
}

TEST_F(CoreMotionContract, NoSampleAfterStop) {
  manager_.startAccelerometerUpdatesToQueueWithHandler(queue_, firstHandler);
  sim::fastForwardBy(seconds(0.15));
  manager_.stopAccelerometerUpdates();
  EXPECT_FALSE(manager_.isAccelerometerActive());
  sim::fastForwardBy(seconds(1));
  EXPECT_EQ(samplesToFirst, 1);
}

TEST_F(CoreMotionContract, StartingAgainReplacesTheHandler) {
  manager_.startAccelerometerUpdatesToQueueWithHandler(queue_, firstHandler);
  sim::fastForwardBy(seconds(0.15));
  manager_.startAccelerometerUpdatesToQueueWithHandler(queue_, secondHandler);
  sim::fastForwardBy(seconds(0.5));
  EXPECT_EQ(samplesToFirst, 1);
  EXPECT_GE(samplesToSecond, 4);
}

TEST_F(CoreMotionContract, ASampleWithoutDataHasANullData) {
  sim::setAcceleration(std::nullopt);
  manager_.startAccelerometerUpdatesToQueueWithHandler(queue_, firstHandler);
  sim::fastForwardBy(seconds(0.15));
  EXPECT_EQ(samplesWithoutData, 1);
}

// --- The runtime's class registry -------------------------------------------------------------

void anImplementation() {}
void anotherImplementation() {}

TEST(ObjcRuntimeContract, ClassesAreFoundByTheNameTheyWereRegisteredUnder) {
  EXPECT_EQ(objc_getClass("TonewellContractNeverRegistered"), nullptr);
  Class cls = objc_allocateClassPair("TonewellContractClass");
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(objc_getClass("TonewellContractClass"), cls);
  EXPECT_EQ(objc_allocateClassPair("TonewellContractClass"), cls) << "registered once";
  EXPECT_STREQ(class_getName(cls), "TonewellContractClass");
}

TEST(ObjcRuntimeContract, AMethodIsAddedOnceAndItsImplementationFound) {
  Class cls = objc_allocateClassPair("TonewellContractMethods");
  EXPECT_EQ(class_getMethodImplementation(cls, "ring:"), nullptr);
  EXPECT_TRUE(class_addMethod(cls, "ring:", anImplementation));
  EXPECT_FALSE(class_addMethod(cls, "ring:", anotherImplementation)) << "it has one already";
  EXPECT_EQ(class_getMethodImplementation(cls, "ring:"), anImplementation);
  EXPECT_FALSE(class_addMethod(nullptr, "ring:", anImplementation));
}

class ObjectDescriptionContract : public testing_support::PhoneTest {};

// NSLog's %@ shows what -description gives: the host's objects by their class and address, a
// string as its text, a number as its value, and a null object as "(null)".
TEST_F(ObjectDescriptionContract, AnObjectIsDescribedAsItsDescriptionSays) {
  sim::installSpringBoard();
  id agent = sim::userAgent();
  ASSERT_NE(agent, nullptr);
  char address[32];
  std::snprintf(address, sizeof address, "%p", agent);
  EXPECT_EQ(describeObject(agent), "<SBUserAgent: " + std::string(address) + ">");
  Value path("/Library/Ringtones/Marimba.m4r");
  EXPECT_EQ(describeObject(&path), "/Library/Ringtones/Marimba.m4r");
  Value number(5);
  EXPECT_EQ(describeObject(&number), "5");
  EXPECT_EQ(describeObject(nullptr), "(null)");
}

// --- AVFoundation -----------------------------------------------------------------------------

std::shared_ptr<AVCaptureDevice> deviceAt(AVCaptureDevicePosition position) {
  for (auto& device : AVCaptureDevice::devicesWithMediaType(AVMediaTypeVideo)) {
    if (device->position() == position) return device;
  }
  return nullptr;
}

// Counts frames; can stop its session from inside a frame.
class FrameCounter : public AVCaptureVideoDataOutputSampleBufferDelegate {
 public:
  void captureOutputDidOutputSampleBufferFromConnection(AVCaptureOutput*, CMSampleBufferRef buffer,
                                                        AVCaptureConnection*) noexcept override {
    ++frames;
    if (CMGetAttachment(buffer, kCGImagePropertyExifDictionary, nullptr) != nullptr) ++withExif;
    if (stopInside && session) session->stopRunning();
  }
  int frames = 0;
  int withExif = 0;
  bool stopInside = false;
  AVCaptureSession* session = nullptr;
};

class AVFoundationContract : public testing_support::PhoneTest {
 protected:
  // A running session on the front camera, frames every 0.25 s to counter_.
  std::shared_ptr<AVCaptureSession> runningSession() {
    sim::setFrameInterval(seconds(0.25));
    auto session = std::make_shared<AVCaptureSession>();
    std::shared_ptr<AVCaptureInput> input = AVCaptureDeviceInput::deviceInputWithDeviceError(
        deviceAt(AVCaptureDevicePositionFront), nullptr);
    EXPECT_TRUE(session->canAddInput(input));
    session->addInput(input);
    auto output = std::make_shared<AVCaptureVideoDataOutput>();
    output->setSampleBufferDelegateQueue(&counter_, dispatch_queue_create("contract", nullptr));
    std::shared_ptr<AVCaptureOutput> base = output;
    EXPECT_TRUE(session->canAddOutput(base));
    session->addOutput(base);
    counter_.session = session.get();
    session->startRunning();
    return session;
  }
  FrameCounter counter_;
};

TEST_F(AVFoundationContract, DevicesComeInAStableOrderAndAMissingOneIsNotListed) {
  const auto first = AVCaptureDevice::devicesWithMediaType(AVMediaTypeVideo);
  const auto second = AVCaptureDevice::devicesWithMediaType(AVMediaTypeVideo);
  ASSERT_EQ(first.size(), second.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i]->position(), second[i]->position());
  }
  EXPECT_NE(deviceAt(AVCaptureDevicePositionBack), nullptr);
  sim::setCameraFault(AVCaptureDevicePositionFront, sim::CameraFault::missing);
  EXPECT_EQ(deviceAt(AVCaptureDevicePositionFront), nullptr);
}

TEST_F(AVFoundationContract, ModeSettersNeedTheConfigurationLock) {
  auto device = deviceAt(AVCaptureDevicePositionFront);
  device->setFocusMode(AVCaptureFocusModeLocked);
  EXPECT_EQ(sim::modeSettersWithoutLock(), 1);
  ASSERT_TRUE(device->lockForConfiguration(nullptr));
  device->setFocusMode(AVCaptureFocusModeLocked);
  device->unlockForConfiguration();
  EXPECT_EQ(sim::modeSettersWithoutLock(), 1);

  sim::setCameraFault(AVCaptureDevicePositionFront, sim::CameraFault::lockRefused);
  std::shared_ptr<NSError> error;
  EXPECT_FALSE(deviceAt(AVCaptureDevicePositionFront)->lockForConfiguration(&error));
  EXPECT_NE(error, nullptr);
}

TEST_F(AVFoundationContract, AnInputThatCannotBeMadeIsNullWithItsError) {
  sim::setCameraFault(AVCaptureDevicePositionFront, sim::CameraFault::inputFails);
  std::shared_ptr<NSError> error;
  EXPECT_EQ(AVCaptureDeviceInput::deviceInputWithDeviceError(deviceAt(AVCaptureDevicePositionFront),
                                                             &error),
            nullptr);
  EXPECT_NE(error, nullptr);
}

TEST_F(AVFoundationContract, FramesFlowWhileRunningAndNoneAfterStop) {
  auto session = runningSession();
  EXPECT_TRUE(session->isRunning());
  sim::fastForwardBy(seconds(1.1));
  EXPECT_EQ(counter_.frames, 4);
  EXPECT_EQ(counter_.withExif, 4);
  session->stopRunning();
  EXPECT_FALSE(session->isRunning());
  sim::fastForwardBy(seconds(2));
  EXPECT_EQ(counter_.frames, 4);
}

TEST_F(AVFoundationContract, AFrameCanStopItsOwnSession) {
  counter_.stopInside = true;
  auto session = runningSession();
  sim::fastForwardBy(seconds(2));
  EXPECT_EQ(counter_.frames, 1);
  EXPECT_FALSE(session->isRunning());
}

TEST_F(AVFoundationContract, FramesComeNoFasterThanTheOutputsMinimumDuration) {
  auto session = runningSession();
  sim::setFrameInterval(seconds(0.01));  // the output keeps its default minimum of 1/30 s
  sim::fastForwardBy(seconds(1.0));
  session->stopRunning();
  const auto frames = sim::frames();
  ASSERT_EQ(static_cast<std::size_t>(counter_.frames), frames.size());
  const Duration minimum{1'000'000'000 / 30};
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_GE(frames[i].time - frames[i - 1].time, minimum) << "frame " << i;
  }
  // And no slower: after the first, one frame every 1/30 s until the second is over.
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.size(), 1 + static_cast<std::size_t>((seconds(1.0) - frames[0].time) / minimum));
}

}  // namespace

// A superview that goes first (its page popped and freed) leaves the subviews held elsewhere
// without one: none of them points at the freed view, and taking one off does nothing.
TEST(UIKitContract, ASubviewOutlivingItsSuperviewHasNone) {
  auto label = std::make_shared<platform::UILabel>(platform::CGRectMake(0, 240, 320, 50));
  {
    auto page = std::make_shared<platform::UIView>(platform::CGRectMake(0, 0, 320, 480));
    page->addSubview(label);
    ASSERT_EQ(label->superview(), page.get());
  }
  EXPECT_EQ(label->superview(), nullptr);
  label->removeFromSuperview();  // a use of the freed view here is what ASan would catch
  EXPECT_EQ(label->superview(), nullptr);
}
