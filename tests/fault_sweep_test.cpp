// Every platform call that can fail, failing in turn: each built-in ring is played once to count
// the uses of each failable call, then once more for every one of those uses with that use
// failing. After every run: no exception came out of the monitor, the camera is off, nothing is
// left scheduled, and the volume is the person's, or the next start-up makes it so. The same
// sweep over a ring in a pocket on real threads proves the failure roads under ThreadSanitizer.
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "builtin_scenarios.h"
#include "monitor_fixture.h"
#include "platform/cf_preferences.h"
#include "platform/ns_file_manager.h"
#include "platform/sim/springboard.h"
#include "platform/task_runner.h"
#include "scenario.h"
#include "scenario_player.h"

namespace {

using sim::FailableCall;

// A host process whose monitor is the one linked in: a respring forgets its state and runs its
// start-up again, as a new SpringBoard loading the library does.
class LinkedMonitorHost : public tonewell::HostProcess {
 public:
  std::optional<std::string> start() override {
    testing_support::resetMonitorState();
    sim::installSpringBoard();
    initializeMonitor();
    return std::nullopt;
  }
};

std::string nameOf(FailableCall call) {
  for (const auto& [name, c] : sim::kFailableCallNames) {
    if (c == call) return std::string(name);
  }
  return "?";
}

class FaultSweepTest : public testing_support::MonitorTest {
 protected:
  // A fresh phone with the scenario's domain, the monitor as a new host finds it.
  void prepare(const tonewell::Scenario& scenario) {
    freshPhoneAndMonitor();
    std::filesystem::remove_all(home_.path() + "/Library");
    std::filesystem::remove(preferencesPath(preferencesDomain));
    if (scenario.preferences) storeSettings(*scenario.preferences);
  }

  // Plays the ring with `call`'s `use`-th use failing (0: none); what went wrong afterwards.
  std::vector<std::string> play(const tonewell::Scenario& scenario, FailableCall call, long use) {
    prepare(scenario);
    sim::failUse(call, use);
    std::vector<std::string> violations;
    LinkedMonitorHost host;
    try {
      if (auto failure = tonewell::playScenario(scenario, host)) violations.push_back(*failure);
    } catch (const std::exception& e) {
      violations.push_back(std::string("an exception came out: ") + e.what());
    } catch (...) {
      violations.push_back("an exception came out");
    }
    if (sim::runningCameraCount() != 0) violations.push_back("a camera still runs");
    if (sim::pendingTaskCount() != 0) {
      violations.push_back(std::to_string(sim::pendingTaskCount()) + " tasks still scheduled");
    }
    const float persons = scenario.device.ringtoneVolume;
    if (sim::volume("Ringtone") != persons) {
      // Not yet the person's: the next start-up must make it so, with nothing failing.
      sim::failUse(call, 0);
      sim::endHostProcess();
      host.start();
      sim::runUntilIdle(1000);
      if (sim::volume("Ringtone") != persons) {
        violations.push_back("the volume is " + std::to_string(sim::volume("Ringtone")) +
                             ", not the person's " + std::to_string(persons) +
                             ", even after the next start-up");
      }
    }
    return violations;
  }

  // How many times the ring uses each failable call when nothing fails.
  std::map<FailableCall, long> usesIn(const tonewell::Scenario& scenario) {
    std::map<FailableCall, long> uses;
    EXPECT_EQ(play(scenario, FailableCall::volumeRead, 0), std::vector<std::string>{});
    for (const auto& [name, call] : sim::kFailableCallNames) uses[call] = sim::usesOf(call);
    return uses;
  }
};

tonewell::Scenario parsed(const tonewell::BuiltinScenario& builtin) {
  auto parsed = tonewell::parseScenario(builtin.yaml, builtin.name);
  auto* scenario = std::get_if<tonewell::Scenario>(&parsed);
  EXPECT_NE(scenario, nullptr) << builtin.name;
  return scenario ? *scenario : tonewell::Scenario{};
}

TEST_F(FaultSweepTest, EveryUseOfEveryFailableCallInEveryBuiltinRing) {
  int rings = 0, runs = 0, callsUsed = 0;
  long mostUses = 0;
  std::map<FailableCall, bool> used;
  for (const auto& builtin : tonewell::builtinScenarios()) {
    const tonewell::Scenario scenario = parsed(builtin);
    ++rings;
    for (const auto& [call, uses] : usesIn(scenario)) {
      if (uses > 0) used[call] = true;
      mostUses = std::max(mostUses, uses);
      for (long use = 1; use <= uses; ++use) {
        ++runs;
        for (const auto& violation : play(scenario, call, use)) {
          ADD_FAILURE() << builtin.name << ", use " << use << " of " << nameOf(call)
                        << " failing: " << violation;
        }
      }
    }
  }
  for (const auto& [call, isUsed] : used) callsUsed += isUsed;
  std::printf(
      "fault sweep: %d calls x 1-%ld positions x %d rings = %d runs, each use of each call failing "
      "in turn\n",
      callsUsed, mostUses, rings, runs);
  EXPECT_EQ(callsUsed, static_cast<int>(std::size(sim::kFailableCallNames)))
      << "every failable call is used by some built-in ring";
}

// A ring in a pocket on real threads (a simulated second takes ten real milliseconds): dark
// from the start, taken out at 4 s, stopped at 5 s, answered at 5.2 s.
class ThreadedFaultSweepTest : public testing_support::MonitorTest {
 protected:
  void SetUp() override {
    MonitorTest::SetUp();
    storeSettings(testing_support::dict({{"enableDebugLogging", true}}));
    sim::installSpringBoard();
    initializeMonitor();
  }

  std::vector<std::string> ring(FailableCall call, long use) {
    sim::clearRecords();
    sim::setVolume("Ringtone", 0.3f, false);
    sim::failUse(call, use == 0 ? 0 : sim::usesOf(call) + use);
    const long before = sim::usesOf(call);
    setDark(true);
    const auto start = sim::now();
    auto at = [&](double t) { return start + testing_support::seconds(t); };
    sim::postAt(at(0), [] { sim::playRingtoneAtPath(platform::Value("/r.m4r")); });
    sim::postAt(
        at(4), [] { setDark(false); }, world_.get());
    sim::postAt(at(5), [] { sim::stopRinging(); });
    sim::postCallStatusChange(testing_support::dict({{"kCTCallStatus", 1}}),
                              testing_support::seconds(5.2));
    std::vector<std::string> violations;
    if (!sim::waitUntilQuiet(std::chrono::seconds(20))) violations.push_back("never ended");
    uses_ = sim::usesOf(call) - before;
    sim::failUse(call, 0);
    if (sim::runningCameraCount() != 0) violations.push_back("a camera still runs");
    if (sim::volume("Ringtone") != 0.3f) {
      // The record the next start-up reads must hold the person's volume.
      const auto record = platform::dictionaryWithContentsOfFile(ringtoneVolumeRecordPath());
      const platform::Value* persons = record ? record->objectForKey("personsVolume") : nullptr;
      if (persons == nullptr || platform::floatValue(*persons) != 0.3f) {
        violations.push_back("the volume is " + std::to_string(sim::volume("Ringtone")) +
                             " and no record holds the person's");
      }
    }
    return violations;
  }

  static void setDark(bool dark) {
    for (int position :
         {platform::AVCaptureDevicePositionFront, platform::AVCaptureDevicePositionBack}) {
      sim::setBrightness(position, dark ? -6.5 : 3.0);
    }
  }

  // A virtual second is 50 ms: slow enough that a ring reaches its raise before its end even
  // under ThreadSanitizer, whose threads start and run several times slower.
  sim::ScopedThreadedPhone threaded_{home_.path(), 0.05};
  std::shared_ptr<platform::TaskRunner> world_ = platform::createSerialQueue("world");
  long uses_ = 0;  // of the call swept, in the last ring
};

TEST_F(ThreadedFaultSweepTest, EveryUseOfEveryFailableCallInARingOnRealThreads) {
  int runs = 0;
  for (const auto& [name, call] : sim::kFailableCallNames) {
    EXPECT_EQ(ring(call, 0), std::vector<std::string>{}) << "nothing failing";
    const long uses = uses_;
    for (long use = 1; use <= uses; ++use) {
      ++runs;
      for (const auto& violation : ring(call, use)) {
        ADD_FAILURE() << "use " << use << " of " << name << " failing: " << violation;
      }
    }
  }
  std::printf("fault sweep on real threads: %d runs of a ring in a pocket\n", runs);
  EXPECT_GT(runs, 10);
}

}  // namespace
