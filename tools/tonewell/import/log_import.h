// Turns a system log with the monitor's lines into scenarios: one per ring found, from its
// ringtone hook line to its end, with the settings, the acceleration, each frame's brightness
// and the host's calls the log shows.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tonewell {

// What the log tells of a ring, in seconds from its first line.
struct LogOutcome {
  std::vector<double> raises;
  std::vector<double> restores;
  std::string end;   // "stopRinging", "call status 1" or "call status 5"; "" when nothing ended it
  double endAt = 0;  // when it ended; when nothing did, the last moment there is
  bool cut = false;  // nothing ended it, though the log goes on long after it began
  bool endsRaised = false;     // the volume is raised at the end (more raises than restores)
  bool cameraRunning = false;  // a replay's camera still runs at its end
};

// A ring's lines may come from two SpringBoard processes: one that ended during the ring (a
// crash, a respring) and the one the system started after it, whose start-up puts the volume
// back and which goes on to the ring's end.
struct ImportedRing {
  int number = 0;     // 1-based, in the order the rings started
  std::string stamp;  // the time stamp of its first line, as the log writes it
  std::string host;   // the phone it rang on ("" when the log names none)
  // The hook line's call ("playRingtoneAtPath:/Library/Ringtones/x.m4r"); past 200 bytes cut
  // with "...".
  std::string call;
  int firstLine = 0;  // line numbers in the log, 1-based
  int lastLine = 0;
  int restarts = 0;  // times SpringBoard started anew during the ring
  LogOutcome outcome;
  double resolution = 1;  // of the log's time stamps, in seconds
  std::string yaml;       // the scenario
};

struct LogImport {
  std::vector<ImportedRing> rings;
  int phones = 0;  // the hosts the rings came from
  int lines = 0;
  int monitorLines = 0;    // the monitor's lines, in a ring or not
  int otherProcesses = 0;  // lines of processes other than SpringBoard
  int otherMessages = 0;   // SpringBoard lines that are not the monitor's
  int malformed = 0;       // not a syslog line
};

// Rings are kept apart by phone (the host a line names) and SpringBoard process; within one
// phone, a SpringBoard that ends during a ring and the one started after it share that ring. A
// ring that nothing ends stops at the log's end, or 600 s after it began. Times go on through a
// clock set back (or, with stamps without a year, set back by more than half a year, which reads
// as a new year); syslogd's "--- last message repeated N times ---" stands for N more of the
// line before it (10,000 at most each, 200,000 in all).
// Reads the log `text`; `name` names it in the scenarios (their name and first comment).
LogImport importLog(std::string_view text, const std::string& name);

// "raised at 3.000 s, restored at 6.000 s; ended by stopRinging at 8.000 s"; `source` names
// what ends when nothing ends the ring ("log", "replay").
std::string describeOutcome(const LogOutcome& outcome, const char* source = "log");

// "12 lines skipped: 3 of other processes, 8 other messages, 1 malformed"
std::string describeSkipped(const LogImport& import);

}  // namespace tonewell
