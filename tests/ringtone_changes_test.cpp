// What each change of the ringtone volume was: the reading the report and the comparison with a
// phone's log share.
#include <gtest/gtest.h>

#include <vector>

#include "log_comparison.h"
#include "log_import.h"
#include "ringtone_changes.h"

namespace {

using namespace tonewell;

ReplayResult startingAt(float volume) {
  ReplayResult r;
  r.initialVolume = volume;
  return r;
}

std::vector<RingtoneStep> stepsOf(const ReplayResult& r) {
  std::vector<RingtoneStep> steps;
  for (const auto& change : ringtoneChanges(r)) steps.push_back(change.step);
  return steps;
}

TEST(RingtoneChangesTest, TheMonitorsChangeUpIsARaiseAndDownARestore) {
  ReplayResult r = startingAt(0.3f);
  r.volume = {{3.0, "Ringtone", 0.8f, ChangedBy::monitor},
              {6.0, "Ringtone", 0.3f, ChangedBy::monitor}};
  EXPECT_EQ(stepsOf(r), (std::vector{RingtoneStep::raised, RingtoneStep::restored}));
}

TEST(RingtoneChangesTest, TheScenariosChangeIsThePersonsWhicheverWayItGoes) {
  ReplayResult r = startingAt(0.3f);
  r.volume = {{1.0, "Ringtone", 0.9f, ChangedBy::scenario},
              {2.0, "Ringtone", 0.1f, ChangedBy::scenario}};
  EXPECT_EQ(stepsOf(r), (std::vector{RingtoneStep::setByPerson, RingtoneStep::setByPerson}));
}

TEST(RingtoneChangesTest, OtherCategoriesAreNotTheRingtones) {
  ReplayResult r = startingAt(0.3f);
  r.volume = {{1.0, "Audio/Video", 1.0f, ChangedBy::scenario},
              {3.0, "Ringtone", 0.8f, ChangedBy::monitor}};
  const auto changes = ringtoneChanges(r);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].t, 3.0);
  EXPECT_EQ(changes[0].step, RingtoneStep::raised)
      << "from 0.3: the other category is not its start";
}

// The person turned the volume down while it was raised (the monitor keeps that), and the next
// ring raised it from there: its restore goes back to the person's new level, not to the level
// of the first raise, and is still a restore.
TEST(RingtoneChangesTest, ARestoreToALevelThePersonChoseDuringAnEarlierRaiseIsARestore) {
  ReplayResult r = startingAt(0.3f);
  r.volume = {{3.0, "Ringtone", 0.8f, ChangedBy::monitor},
              {5.0, "Ringtone", 0.5f, ChangedBy::scenario},
              {20.0, "Ringtone", 0.8f, ChangedBy::monitor},
              {25.0, "Ringtone", 0.5f, ChangedBy::monitor}};
  EXPECT_EQ(stepsOf(r), (std::vector{RingtoneStep::raised, RingtoneStep::setByPerson,
                                     RingtoneStep::raised, RingtoneStep::restored}));
  const LogOutcome outcome = outcomeOfReplay(r);
  EXPECT_EQ(outcome.raises, (std::vector{3.0, 20.0}));
  EXPECT_EQ(outcome.restores, (std::vector{25.0}));
}

TEST(RingtoneChangesTest, WhoChangedItIsNamedAsTheResultWritesIt) {
  EXPECT_STREQ(nameOf(ChangedBy::monitor), "monitor");
  EXPECT_STREQ(nameOf(ChangedBy::scenario), "scenario");
}

}  // namespace
