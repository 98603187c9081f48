#include "frame_judgement.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using platform::Value;
using testing_support::dict;
using tonewell::monitor::FrameVerdict;
using tonewell::monitor::judgeFrame;

Value exif(Value brightness) {
  return Value(dict({{"ExposureTime", 0.025}, {"BrightnessValue", brightness}}));
}

TEST(FrameJudgementTest, TheFirstThreeFramesAreLetGoByWhateverTheyShow) {
  const Value dark = exif(-9.0);
  for (int n : {1, 2, 3}) EXPECT_EQ(judgeFrame(n, &dark, -4.0).verdict, FrameVerdict::ignored);
  EXPECT_EQ(judgeFrame(3, nullptr, -4.0).verdict, FrameVerdict::ignored);
  EXPECT_EQ(judgeFrame(4, &dark, -4.0).verdict, FrameVerdict::dark);
}

TEST(FrameJudgementTest, StrictlyDarkerThanTheThresholdIsThePocket) {
  const Value below = exif(-4.000001), at = exif(-4.0), above = exif(3.5);
  EXPECT_EQ(judgeFrame(4, &below, -4.0).verdict, FrameVerdict::dark);
  EXPECT_EQ(judgeFrame(4, &at, -4.0).verdict, FrameVerdict::bright);
  const auto bright = judgeFrame(9, &above, -4.0);
  EXPECT_EQ(bright.verdict, FrameVerdict::bright);
  EXPECT_EQ(bright.brightness, 3.5);
}

TEST(FrameJudgementTest, AMissingOrUnreadableBrightnessCountsAsMinusFour) {
  const Value none(dict({{"ExposureTime", 0.025}}));
  const Value text = exif(Value("n/a"));
  for (const Value* frame : {&none, &text}) {
    const auto j = judgeFrame(4, frame, -4.0);
    EXPECT_EQ(j.verdict, FrameVerdict::bright) << "-4 is not below the default threshold";
    EXPECT_EQ(j.brightness, -4.0);
    EXPECT_EQ(judgeFrame(4, frame, -3.0).verdict, FrameVerdict::dark);
  }
}

TEST(FrameJudgementTest, NoExifDictionaryEndsTheProbe) {
  EXPECT_EQ(judgeFrame(4, nullptr, -4.0).verdict, FrameVerdict::noExif);
  const Value notADictionary(2.0);
  EXPECT_EQ(judgeFrame(4, &notADictionary, -4.0).verdict, FrameVerdict::bright)
      << "a dictionary without brightness reads as -4, whatever the attachment is";
}

}  // namespace
