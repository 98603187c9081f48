// No raise outlives its ring, and the person's own volume survives anything: the roads a phone
// really takes, each ending with the person's volume and no camera.
#include <filesystem>
#include <fstream>

#include "monitor_fixture.h"
#include "platform/ns_file_manager.h"
#include "platform/sim/springboard.h"
#include "ringtone_hooks.h"
#include "ringtone_volume.h"
#include "start_up.h"

namespace {

using platform::Dictionary;
using platform::Value;
using testing_support::countOf;
using testing_support::dict;
using testing_support::seconds;

constexpr int kFront = platform::AVCaptureDevicePositionFront;

Dictionary status(Value s) {
  return dict({{"kCTCallStatus", s}});
}

// The log without the settings summary that each load writes in debug mode.
std::vector<std::string> linesBesidesTheSummary() {
  std::vector<std::string> lines;
  for (auto& m : sim::logMessages()) {
    if (m.rfind("TW: settings are:", 0) != 0) lines.push_back(m);
  }
  return lines;
}

int monitorVolumeChanges() {
  int n = 0;
  for (const auto& change : sim::volumeChanges()) n += change.by == sim::ChangedBy::monitor;
  return n;
}

class RingEndTest : public testing_support::DarkPocketTest {
 protected:
  void ringUntilRaised() {
    sim::playRingtoneAtPath(Value("/r.m4r"));
    waitUntilRaised();
  }
  void switchOff() {
    storeSettings(dict({{"enabled", false}, {"enableDebugLogging", true}}));
    loadSettings();
    ASSERT_FALSE(isEnabled);
  }
  // The invariant at the end of every road.
  void expectThePersonsVolumeAndNoCamera(float persons = 0.3f) {
    EXPECT_EQ(ringtoneVolume(), persons);
    EXPECT_FALSE(volumeWasIncreased);
    EXPECT_EQ(sim::runningCameraCount(), 0);
    EXPECT_FALSE(
        platform::NSFileManager::defaultManager()->fileExistsAtPath(ringtoneVolumeRecordPath()))
        << "no record is left behind";
  }
};

class SwitchedOffMidRingTest : public RingEndTest, public ::testing::WithParamInterface<int> {};

TEST_P(SwitchedOffMidRingTest, TheCallStatusThatEndsTheRingStillRestores) {
  ringUntilRaised();
  switchOff();
  currentPhoneState = 2;
  sim::postCallStatusChange(status(GetParam()));
  sim::runUntil(sim::now() + seconds(1.0));
  expectThePersonsVolumeAndNoCamera();
  EXPECT_EQ(currentPhoneState, 2) << "a disabled monitor records no state";
  EXPECT_EQ(countOf(log(), "TW: stopRinging, TW is disabled."), 1);
  sim::fastForwardBy(seconds(100));
  expectThePersonsVolumeAndNoCamera();
}

INSTANTIATE_TEST_SUITE_P(StatusOneOrFive, SwitchedOffMidRingTest, ::testing::Values(1, 5));

TEST_F(RingEndTest, SwitchedOffQuietRingStillIgnoresOtherStates) {
  switchOff();
  sim::playRingtoneAtPath(Value("/r.m4r"));
  sim::postCallStatusChange(status(1));
  sim::runUntil(seconds(1.0));
  EXPECT_EQ(linesBesidesTheSummary().size(), 1u) << "only the hook's own line";
  EXPECT_EQ(currentPhoneState, 0);
}

struct RingEnd {
  const char* name;
  void (*end)();
};
void PrintTo(const RingEnd& e, std::ostream* os) {
  *os << e.name;
}

class CheckAfterTheRingTest : public RingEndTest, public ::testing::WithParamInterface<RingEnd> {};

TEST_P(CheckAfterTheRingTest, MayRunItsProbeButLeavesNoRaise) {
  sim::playRingtoneAtPath(Value("/r.m4r"));
  sim::runUntil(seconds(1.0));
  GetParam().end();
  sim::runUntil(seconds(1.5));
  sim::prepareToAnswerCall();  // the check comes after the ring is over
  sim::runUntil(seconds(10.0));
  EXPECT_EQ(monitorVolumeChanges(), 0);
  EXPECT_EQ(countOf(log(), "TW: no ringtone is playing, not increasing the volume."), 1);
  sim::runUntil(seconds(120.0));
  expectThePersonsVolumeAndNoCamera();
}

INSTANTIATE_TEST_SUITE_P(
    Ends, CheckAfterTheRingTest,
    ::testing::Values(RingEnd{"StopRinging", [] { sim::stopRinging(); }},
                      RingEnd{"StatusOne", [] { sim::postCallStatusChange(status(1)); }},
                      RingEnd{"StatusFive", [] { sim::postCallStatusChange(status(5)); }}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(RingEndTest, TheTimeOutOfACheckWithoutARingtoneEndsItsRaise) {
  ringUntilRaised();
  // The host's ring ended on a road the monitor does not follow, then a check ran.
  hostRingtone = HostRingtone::stopped;
  sim::runUntil(seconds(90.0));
  expectThePersonsVolumeAndNoCamera();
}

TEST_F(RingEndTest, WhileTheRingtonePlaysTheTimeOutLeavesTheRaiseToTheEnd) {
  ringUntilRaised();
  sim::runUntil(seconds(90.0));
  EXPECT_EQ(ringtoneVolume(), 0.8f);
  EXPECT_EQ(sim::runningCameraCount(), 0);
  sim::stopRinging();
  expectThePersonsVolumeAndNoCamera();
}

TEST_F(RingEndTest, NeverLowersThePersonsVolume) {
  sim::setVolume("Ringtone", 1.0f);
  sim::playRingtoneAtPath(Value("/r.m4r"));
  sim::runUntil(seconds(5.0));  // eight dark frames judged
  EXPECT_EQ(ringtoneVolume(), 1.0f);
  EXPECT_EQ(monitorVolumeChanges(), 0);
  EXPECT_EQ(countOf(log(), "TW: ringing volume was increased."), 0);
  EXPECT_EQ(countOf(log(),
                    "TW: the ringtone volume is already at or above the in-pocket level, "
                    "not changing it."),
            1);
  sim::setBrightness(kFront, 3.0);  // out of the pocket: nothing to put back
  sim::runUntil(seconds(6.0));
  EXPECT_EQ(countOf(log(), "TW: device taken out of the pocket, original volume restored."), 0);
  expectThePersonsVolumeAndNoCamera(1.0f);
}

TEST_F(RingEndTest, TheSameLevelAsThePersonsIsNoRaiseEither) {
  storeSettings(dict({{"ringingVolumeWhileInPocket", 0.3}}));
  sim::playRingtoneAtPath(Value("/r.m4r"));
  sim::runUntil(seconds(5.0));
  EXPECT_EQ(monitorVolumeChanges(), 0);
}

TEST_F(RingEndTest, ThePersonsChangeWhileRaisedStandsAtTheEndOfTheRing) {
  ringUntilRaised();
  sim::setVolume("Ringtone", 0.1f);  // the person turns it down with the buttons
  sim::stopRinging();
  expectThePersonsVolumeAndNoCamera(0.1f);
  EXPECT_EQ(countOf(log(), "TW: the ringtone volume was changed while it was raised, keeping it."),
            1);
}

TEST_F(RingEndTest, ThePersonsChangeWhileRaisedStandsWhenThePhoneLeavesThePocket) {
  ringUntilRaised();
  sim::setVolume("Ringtone", 1.0f);
  sim::setBrightness(kFront, 3.0);
  sim::runUntil(seconds(3.5));
  EXPECT_EQ(ringtoneVolume(), 1.0f);
  EXPECT_EQ(countOf(log(), "TW: device taken out of the pocket, original volume restored."), 0);
  sim::stopRinging();
  expectThePersonsVolumeAndNoCamera(1.0f);
}

TEST_F(RingEndTest, AVolumeStillWithinHalfAStepOfTheRaiseIsPutBack) {
  ringUntilRaised();
  sim::setVolume("Ringtone", 0.8125f, false);  // the phone kept it rounded to a button step
  sim::stopRinging();
  expectThePersonsVolumeAndNoCamera();
}

// The record that lets the person's volume survive the host's end.
class VolumeRecordTest : public RingEndTest {
 protected:
  std::string record() const { return ringtoneVolumeRecordPath(); }
  std::optional<Dictionary> stored() const {
    return platform::dictionaryWithContentsOfFile(record());
  }
  void writeRecord(const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(record()).parent_path());
    std::ofstream(record()) << text;
  }
  // The host ends and starts again: the monitor's memory is gone, the phone's volume stays.
  void restartTheHost() {
    freshPhoneAndMonitor();
    sim::installSpringBoard();
  }
};

TEST_F(VolumeRecordTest, IsWrittenBeforeTheRaiseAndRemovedAfterTheRestore) {
  EXPECT_EQ(record(), home_.path() + "/Library/Tonewell/RingtoneVolume.plist");
  ringUntilRaised();
  const auto kept = stored();
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(*kept, dict({{"personsVolume", Value(static_cast<double>(0.3f))},
                         {"raisedLevel", Value(static_cast<double>(0.8f))}}));
  sim::stopRinging();
  expectThePersonsVolumeAndNoCamera();
}

TEST_F(VolumeRecordTest, AHostThatEndedMidRaiseGetsThePersonsVolumeBackAtStartUp) {
  ringUntilRaised();
  const float raised = ringtoneVolume();
  restartTheHost();
  sim::setVolume("Ringtone", raised, false);  // the audio daemon kept it
  initializeMonitor();
  EXPECT_EQ(linesBesidesTheSummary(),
            std::vector<std::string>{"TW: SpringBoard ended while the ringtone volume was raised, "
                                     "original volume restored."});
  expectThePersonsVolumeAndNoCamera();
  EXPECT_NE(savedStopRinging, nullptr) << "start-up goes on";
}

// At load time the media server may not answer: the record is kept, not lost, and the next
// ring puts the person's volume back before anything else.
TEST_F(VolumeRecordTest, AVolumeUnreadableAtStartUpKeepsTheRecordForTheNextRing) {
  ringUntilRaised();
  const float raised = ringtoneVolume();
  restartTheHost();
  sim::setVolume("Ringtone", raised, false);
  sim::setVolumeReadFails(true);
  initializeMonitor();
  EXPECT_TRUE(stored().has_value()) << "the person's volume is kept";
  EXPECT_FLOAT_EQ(ringtoneVolume(), raised);
  sim::setVolumeReadFails(false);
  sim::setBrightness(kFront, 3.0);  // not in a pocket this time
  sim::playRingtoneAtPath(Value("/Library/Ringtones/Opening.m4r"));
  EXPECT_EQ(countOf(log(),
                    "TW: SpringBoard ended while the ringtone volume was raised, "
                    "original volume restored."),
            1);
  sim::stopRinging();
  expectThePersonsVolumeAndNoCamera();
}

TEST_F(VolumeRecordTest, AVolumeThePersonChangedSinceIsLeftAlone) {
  ringUntilRaised();
  restartTheHost();
  sim::setVolume("Ringtone", 0.5f, false);
  initializeMonitor();
  EXPECT_TRUE(linesBesidesTheSummary().empty());
  expectThePersonsVolumeAndNoCamera(0.5f);
}

TEST_F(VolumeRecordTest, AnUnreadableRecordIsKeptUntilTheNextRaiseAndNeverBlocksTheRing) {
  restartTheHost();
  writeRecord("garbage");
  initializeMonitor();
  EXPECT_EQ(linesBesidesTheSummary(),
            std::vector<std::string>{"TW: unable to read the saved ringtone volume in " + record() +
                                     ", trying again before the next raise."});
  EXPECT_TRUE(std::filesystem::exists(record())) << "it may hold the person's volume";
  sim::clearLog();
  sim::setVolume("Ringtone", 0.3f);
  sim::setBrightness(kFront, -6.0);
  ringUntilRaised();
  EXPECT_EQ(countOf(log(), "TW: unable to read the saved ringtone volume in " + record() +
                               ", removing it."),
            1);
  sim::stopRinging();
  expectThePersonsVolumeAndNoCamera();
}

TEST_F(VolumeRecordTest, ARecordReadThatFailsOnceStillBringsThePersonsVolumeBack) {
  ringUntilRaised();
  const float raised = ringtoneVolume();
  restartTheHost();
  sim::setVolume("Ringtone", raised, false);
  sim::failUse(sim::FailableCall::recordRead, 1);
  initializeMonitor();
  EXPECT_EQ(ringtoneVolume(), raised) << "not yet: the record could not be read";
  sim::setBrightness(kFront, -6.0);
  sim::playRingtoneAtPath(Value("/r.m4r"));
  sim::runUntil(sim::now() + seconds(3.0));
  EXPECT_EQ(countOf(log(),
                    "TW: SpringBoard ended while the ringtone volume was raised, original "
                    "volume restored."),
            1)
      << "read again before the raise that would write over it";
  EXPECT_TRUE(volumeWasIncreased);
  sim::stopRinging();
  expectThePersonsVolumeAndNoCamera();
}

TEST_F(VolumeRecordTest, NothingIsRaisedThatTheRecordDoesNotHold) {
  // Library/Tonewell is a file, so the record's folder cannot be made.
  std::filesystem::create_directories(home_.path() + "/Library");
  std::ofstream(home_.path() + "/Library/Tonewell") << "in the way";
  sim::playRingtoneAtPath(Value("/r.m4r"));
  sim::runUntil(sim::now() + seconds(5.0));
  EXPECT_EQ(countOf(log(), "TW: unable to save the ringtone volume to " + record() +
                               ", not increasing it."),
            1)
      << "said once, though every dark frame tries";
  EXPECT_FALSE(volumeWasIncreased);
  EXPECT_EQ(ringtoneVolume(), 0.3f);
  sim::stopRinging();
  expectThePersonsVolumeAndNoCamera();
}

TEST_F(VolumeRecordTest, AVolumeThatCannotBePutBackStaysRecordedAndGoesBackAtTheNextChance) {
  ringUntilRaised();
  sim::failUse(sim::FailableCall::volumeSet, sim::usesOf(sim::FailableCall::volumeSet) + 1);
  sim::stopRinging();
  EXPECT_EQ(countOf(log(),
                    "TW: unable to restore the original ringtone volume, it stays saved "
                    "for the next try."),
            1);
  EXPECT_TRUE(volumeWasIncreased);
  EXPECT_TRUE(stored().has_value()) << "the next start-up would restore it";
  sim::postCallStatusChange(status(Value(5)));
  sim::runUntilIdle();
  expectThePersonsVolumeAndNoCamera();
  EXPECT_FALSE(stored().has_value());
}

// A put-back that failed leaves the raise outstanding; switched off after that, the end of the
// ring still puts the volume back, although no ring is in progress any more.
TEST_F(RingEndTest, SwitchedOffAfterAFailedRestoreTheNextEndStillRestores) {
  ringUntilRaised();
  sim::failUse(sim::FailableCall::volumeSet, sim::usesOf(sim::FailableCall::volumeSet) + 1);
  sim::stopRinging();
  ASSERT_TRUE(volumeWasIncreased);
  switchOff();
  sim::postCallStatusChange(status(5));
  sim::runUntilIdle();
  expectThePersonsVolumeAndNoCamera();
}

// The exported check, the restore and the callback may be reached before start-up made the
// probe: they do nothing and never crash.
TEST_F(RingEndTest, BeforeStartUpMadeTheProbeNothingHappens) {
  captureDelegate = nullptr;
  motionManager = nullptr;
  increaseVolumeIfNeeded();
  EXPECT_EQ(sim::pendingTaskCount(), 0u);
  restoreRingtoneVolume();
  isEnabled = false;
  restoreRingtoneVolume();
  for (bool enabled : {true, false}) {
    isEnabled = enabled;
    for (int s : {1, 2}) {
      const Dictionary info = status(s);
      callStatusChanged(nullptr, nullptr, "kCTCallStatusChangeNotification", nullptr, &info);
    }
  }
  EXPECT_EQ(ringtoneVolume(), 0.3f);
}

// The saved volume as the record holds it: a number from 0 to 1 for each; anything else makes
// the record unreadable, and it is removed.
TEST_F(VolumeRecordTest, ARecordWithoutTwoVolumesFrom0To1IsRemoved) {
  for (const char* values :
       {"<key>personsVolume</key><string>0.3</string><key>raisedLevel</key><real>0.8</real>",
        "<key>personsVolume</key><real>0.3</real><key>raisedLevel</key><integer>2</integer>",
        "<key>personsVolume</key><real>-0.5</real><key>raisedLevel</key><real>0.8</real>",
        "<key>personsVolume</key><real>nan</real><key>raisedLevel</key><real>0.8</real>",
        "<key>personsVolume</key><real>0.3</real>"}) {
    restartTheHost();
    writeRecord(std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>") + values +
                "</dict></plist>");
    initializeMonitor();
    EXPECT_EQ(countOf(log(), "TW: unable to read the saved ringtone volume in " + record() +
                                 ", removing it."),
              1)
        << values;
    EXPECT_FALSE(std::filesystem::exists(record())) << values;
  }
}

TEST_F(RingEndTest, ACallStatusTextWithoutANumberCannotDetermineTheState) {
  ringUntilRaised();
  currentPhoneState = 4;
  for (const char* text : {"abc", "", " -x"}) sim::postCallStatusChange(status(Value(text)));
  sim::runUntil(sim::now() + seconds(1.0));
  EXPECT_EQ(countOf(log(), "TW: kCTCallStatusChangeNotification cannot determine state!"), 3);
  EXPECT_EQ(currentPhoneState, 4);
  EXPECT_TRUE(volumeWasIncreased);

  sim::postCallStatusChange(status(Value(" 5 (disconnected)")));
  sim::runUntil(sim::now() + seconds(1.0));
  EXPECT_EQ(currentPhoneState, 5);
  expectThePersonsVolumeAndNoCamera();
}

TEST_F(RingEndTest, ACallStatusBeyondThirtyTwoBitsKeepsItsLowBits) {
  ringUntilRaised();
  sim::postCallStatusChange(status(Value(std::int64_t{4294967297})));  // 2^32 + 1
  sim::runUntil(sim::now() + seconds(1.0));
  EXPECT_EQ(currentPhoneState, 1);
  expectThePersonsVolumeAndNoCamera();
}

}  // namespace
