// Turns a system log with the monitor's lines into scenarios: one per ring found, from its
// ringtone hook line to its end, with the settings, the acceleration, each frame's brightness
// and the host's calls the log shows.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "replay.h"

namespace tonewell {

// What the log tells of a ring, in seconds from its first line.
struct LogOutcome {
  std::vector<double> raises;
  std::vector<double> restores;
  std::string end;  // "stopRinging", "call status 1", "call status 5" or "the log ends"
  double endAt = 0;
};

struct ImportedRing {
  int number = 0;     // 1-based, in the order the rings started
  std::string stamp;  // the time stamp of its first line, as the log writes it
  std::string call;   // the hook line's call: "playRingtoneAtPath:/Library/Ringtones/x.m4r"
  int firstLine = 0;  // line numbers in the log, 1-based
  int lastLine = 0;
  LogOutcome outcome;
  double resolution = 1;  // of the log's time stamps, in seconds
  std::string yaml;       // the scenario
};

struct LogImport {
  std::vector<ImportedRing> rings;
  int lines = 0;
  int monitorLines = 0;    // the monitor's lines, in a ring or not
  int otherProcesses = 0;  // lines of processes other than SpringBoard
  int otherMessages = 0;   // SpringBoard lines that are not the monitor's
  int malformed = 0;       // not a syslog line
};

// Reads the log `text`; `name` names it in the scenarios (their name and first comment).
LogImport importLog(std::string_view text, const std::string& name);

// "raised at 3.000 s, restored at 6.000 s; ended by stopRinging at 8.000 s"
std::string describeOutcome(const LogOutcome& outcome);

// What the monitor did in a replay, in the same terms.
LogOutcome outcomeOfReplay(const ReplayResult& result);

// How far a replayed change may lie from the log's and still agree: a log time t stands for
// [t, t + resolution); around that, the replay may come `early` sooner or `late` later.
struct Tolerance {
  double early = 0;
  double late = 0;
};
// For a ring: its stamps' resolution, and a frame's time either way where frame times are
// stamps of their own (half a frame where they were estimated from whole seconds).
Tolerance toleranceFor(const ImportedRing& ring);

// Where the replay and the log disagree: a raise or restore one shows and the other does not,
// or one further away than `tolerance`. Empty when they agree.
std::vector<std::string> disagreements(const LogOutcome& log, const LogOutcome& replayed,
                                       Tolerance tolerance);

// "12 lines skipped: 3 of other processes, 8 other messages, 1 malformed"
std::string describeSkipped(const LogImport& import);

}  // namespace tonewell
