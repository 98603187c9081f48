// The system log's lines at their edges: stamps read to the exact second in the year assumed,
// the daemons' other spellings, escapes and continuations, and a ring's time line across clock
// changes and the new year. The common line formats are in log_import_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ring_scenario.h"
#include "syslog_line.h"

namespace {

using namespace tonewell;
using monitor_message::MonitorLine;

TEST(SyslogStampTest, TraditionalStampsAreReadInTheYearGiven) {
  const auto epoch = parseSyslogLine("Jan  1 00:00:00 h p[1]: x", 1970);
  ASSERT_TRUE(epoch);
  EXPECT_EQ(epoch->time, 0.0);
  const auto dec = parseSyslogLine("Dec  8 23:55:01 h p[1]: x", 2026);
  ASSERT_TRUE(dec);
  EXPECT_EQ(dec->time, 1796774101.0);
  const auto leap = parseSyslogLine("Feb 29 12:00:00 h p[1]: x", 2024);
  ASSERT_TRUE(leap);
  EXPECT_EQ(leap->time, 1709208000.0);
  const auto twoDigits = parseSyslogLine("Dec 18 23:55:01 h p[1]: x", 2026);
  ASSERT_TRUE(twoDigits);
  EXPECT_EQ(twoDigits->time - dec->time, 10 * 86400.0);
  EXPECT_EQ(twoDigits->stamp, "Dec 18 23:55:01");

  // The last second of a year and the first of the next, each read in its own year.
  const auto last = parseSyslogLine("Dec 31 23:59:59 h p[1]: x", 2025);
  const auto first = parseSyslogLine("Jan  1 00:00:01 h p[1]: x", 2026);
  ASSERT_TRUE(last && first);
  EXPECT_EQ(last->time, 1767225599.0);
  EXPECT_EQ(first->time - last->time, 2.0);
  // A leap second as syslogd writes it.
  const auto leapSecond = parseSyslogLine("Dec 31 23:59:60 h p[1]: x", 2016);
  ASSERT_TRUE(leapSecond);
  EXPECT_FALSE(parseSyslogLine("Dec 31 23:59:61 h p[1]: x", 2016));
  EXPECT_FALSE(parseSyslogLine("Dec 31 23:60:00 h p[1]: x", 2016));
  EXPECT_FALSE(parseSyslogLine("Dec  0 23:00:00 h p[1]: x", 2016));
  EXPECT_FALSE(parseSyslogLine("Dec 8 23:55:01 h p[1]: x", 2016)) << "the day is padded";
  EXPECT_FALSE(parseSyslogLine("dec  8 23:55:01 h p[1]: x", 2016));
}

TEST(SyslogStampTest, Rfc3339StampsCarryTheirOwnYearAndOffset) {
  const auto utc = parseSyslogLine("2026-12-08T23:55:01Z h p: x", 1999);
  const auto west = parseSyslogLine("2026-12-08T18:55:01-05:00 h p: x", 1999);
  const auto fine = parseSyslogLine("2026-12-08T23:55:01.123456789+00:00 h p: x", 1999);
  ASSERT_TRUE(utc && west && fine);
  EXPECT_EQ(utc->time, 1796774101.0) << "the year given is not used";
  EXPECT_EQ(west->time, utc->time);
  EXPECT_NEAR(fine->time - utc->time, 0.123456789, 1e-6);
  EXPECT_NEAR(fine->resolution, 1e-9, 1e-15);
  EXPECT_TRUE(hasYear(*west));
  for (const char* text : {
           "2026-12-08T23:55:01.1234567891Z h p: x",  // beyond nanoseconds
           "2026-12-08T23:55:01+0000 h p: x",         // offset without its colon
           "2026-12-08 23:55:01Z h p: x",             // a space for the T
           "2026-13-08T23:55:01Z h p: x",
           "2026-12-08T23:55:01Zh p: x",
       }) {
    EXPECT_FALSE(parseSyslogLine(text, 2026)) << text;
  }
}

TEST(SyslogLineFormsTest, TheDaemonsOtherSpellings) {
  // rsyslogd without a process id, and a process named with dots.
  const auto noPid = parseSyslogLine("Dec  8 23:55:01 vm SpringBoard: TW: a: b", 2026);
  ASSERT_TRUE(noPid);
  EXPECT_EQ(noPid->host, "vm");
  EXPECT_EQ(noPid->process, "SpringBoard");
  EXPECT_EQ(noPid->pid, -1);
  EXPECT_EQ(noPid->message, "TW: a: b") << "the message keeps its own colons";
  const auto dotted =
      parseSyslogLine("Dec  8 23:55:01 iPhone com.apple.xpc.launchd[1] <Notice>: up", 2026);
  ASSERT_TRUE(dotted);
  EXPECT_EQ(dotted->process, "com.apple.xpc.launchd");
  EXPECT_EQ(dotted->pid, 1);
  EXPECT_EQ(dotted->level, "Notice");
  // A message that says nothing, and a line ended by a carriage return.
  const auto empty = parseSyslogLine("Dec  8 23:55:01 iPhone SpringBoard[52]:", 2026);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->message, "");
  const auto crlf = parseSyslogLine("Dec  8 23:55:01 iPhone SpringBoard[52]: TW: x\r", 2026);
  ASSERT_TRUE(crlf);
  EXPECT_EQ(crlf->message, "TW: x");
  // A byte order mark before an RFC 3339 stamp.
  const auto marked = parseSyslogLine(
      "\xEF\xBB\xBF"
      "2026-12-08T23:55:01Z vm p[2]: x",
      2026);
  ASSERT_TRUE(marked);
  EXPECT_EQ(marked->stamp, "2026-12-08T23:55:01Z");
  // Repeats: one, and none that count.
  const auto once = parseSyslogLine("Dec  8 23:55:01 --- last message repeated 1 time ---", 2026);
  ASSERT_TRUE(once);
  EXPECT_EQ(once->repeated, 1);
  EXPECT_EQ(once->host, "");
  const auto never = parseSyslogLine("Dec  8 23:55:01 h --- last message repeated 0 times ---", 0);
  EXPECT_FALSE(never && never->repeated != 0);
  for (const char* text : {
           "Dec  8 23:55:01 iPhone SpringBoard[52] x",    // no colon
           "Dec  8 23:55:01 iPhone SpringBoard[] : x",    // no process id in the brackets
           "Dec  8 23:55:01 iPhone SpringBoard[52: x",    // unclosed
           "Dec  8 23:55:01  SpringBoard[52]: x",         // two spaces
           "Dec  8 23:55:01iPhone SpringBoard[52]: x",    // none
           "Dec  8 23:55:01 iPhone Spring Board[52]: x",  // a space in the tag
       }) {
    EXPECT_FALSE(parseSyslogLine(text, 2026)) << text;
  }
}

TEST(SyslogLineFormsTest, EscapesAndContinuations) {
  EXPECT_EQ(decodeEscapedControls("a#000b"), std::string("a\0b", 3));
  EXPECT_EQ(decodeEscapedControls("##012"), "#\n") << "a lone '#' before an escape stays";
  EXPECT_EQ(decodeEscapedControls("#037#177"), "\x1f\x7f");
  EXPECT_FALSE(decodeEscapedControls("#040 #176 #200")) << "only control characters are escaped";
  EXPECT_FALSE(decodeEscapedControls("end #01"));
  EXPECT_FALSE(decodeEscapedControls(""));
  EXPECT_TRUE(continuesTheMessageBefore("\t"));
  EXPECT_FALSE(continuesTheMessageBefore(""));
  EXPECT_FALSE(continuesTheMessageBefore(" \tx"));
}

// --- A ring's time line ---------------------------------------------------------------------

std::vector<double> timesOf(const std::vector<std::pair<double, int>>& stamps) {
  std::vector<MonitorLine> lines;
  for (const auto& [time, year] : stamps) {
    MonitorLine line{static_cast<int>(lines.size()) + 1, {}, {}};
    line.line.time = time;
    line.year = year;
    lines.push_back(line);
  }
  std::vector<const MonitorLine*> pointers;
  for (const MonitorLine& line : lines) pointers.push_back(&line);
  return monitor_message::timeLine(pointers);
}

TEST(RingTimeLineTest, FollowsTheStampsExceptWhereTheClockWasSet) {
  EXPECT_TRUE(timesOf({}).empty());
  EXPECT_EQ(timesOf({{500, 0}}), std::vector<double>{0});
  EXPECT_EQ(timesOf({{100, 0}, {101.5, 0}, {101.5, 0}, {104, 0}}),
            (std::vector<double>{0, 1.5, 1.5, 4}));
  EXPECT_EQ(timesOf({{100, 0}, {102, 0}, {50, 0}, {53, 0}}), (std::vector<double>{0, 2, 2, 5}))
      << "set back: no time passes, then the stamps go on from there";
  EXPECT_EQ(timesOf({{100, 0}, {1000, 0}}), (std::vector<double>{0, 900}))
      << "a long gap in one year is kept: the ring's end decides what it means";
}

TEST(RingTimeLineTest, AcrossTheNewYearOnlyAStampReadInTheWrongYearIsDropped) {
  // Dec 31 23:59:59 and Jan 1 00:00:01, read in their own years: two seconds.
  EXPECT_EQ(timesOf({{1767225599, 2025}, {1767225601, 2026}}), (std::vector<double>{0, 2}));
  // A stamp read in the next year though the clock went back: months ahead, no time passes.
  const double later = 1767225599 + 200 * 86400.0;
  EXPECT_EQ(timesOf({{1767225599, 2025}, {later, 2026}, {later + 3, 2026}}),
            (std::vector<double>{0, 0, 3}));
}

}  // namespace
