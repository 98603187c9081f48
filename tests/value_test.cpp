#include "platform/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using platform::Array;
using platform::Dictionary;
using platform::Value;

TEST(BoolValueTest, StringsReadAsThePlatformReadsThem) {
  for (const char* yes : {"YES", "yes", "true", "T", "  y", "1", "9", "-1", "+5", "0001", "007"}) {
    EXPECT_TRUE(platform::boolValue(Value(yes))) << yes;
  }
  for (const char* no : {"", "NO", "false", "0", "000", "  ", "x1", "-", "n"}) {
    EXPECT_FALSE(platform::boolValue(Value(no))) << no;
  }
}

TEST(BoolValueTest, NumbersAreTrueWhenNonZero) {
  EXPECT_TRUE(platform::boolValue(Value(2)));
  EXPECT_TRUE(platform::boolValue(Value(0.1)));
  EXPECT_TRUE(platform::boolValue(Value(-1)));
  EXPECT_FALSE(platform::boolValue(Value(0)));
  EXPECT_FALSE(platform::boolValue(Value(0.0)));
}

TEST(FloatValueTest, StringsGiveTheirLeadingNumber) {
  EXPECT_EQ(platform::floatValue(Value(" 2.5")), 2.5f);
  EXPECT_EQ(platform::floatValue(Value("-4.25dB")), -4.25f);
  EXPECT_EQ(platform::floatValue(Value(".5")), 0.5f);
  EXPECT_EQ(platform::floatValue(Value("1e2")), 100.0f);
  EXPECT_EQ(platform::floatValue(Value("3e")), 3.0f);
  EXPECT_EQ(platform::floatValue(Value("abc")), 0.0f);
  EXPECT_EQ(platform::floatValue(Value("")), 0.0f);
  EXPECT_EQ(platform::floatValue(Value("nan")), 0.0f);
  EXPECT_TRUE(std::isinf(platform::floatValue(Value("1e999"))));
  EXPECT_EQ(platform::floatValue(Value("1e-999")), 0.0f);
}

TEST(FloatValueTest, NumbersAndBooleansConvert) {
  EXPECT_EQ(platform::floatValue(Value(true)), 1.0f);
  EXPECT_EQ(platform::floatValue(Value(3)), 3.0f);
  EXPECT_EQ(platform::doubleValue(Value(0.8)), 0.8);
  EXPECT_EQ(static_cast<double>(platform::floatValue(Value(0.8))), 0.800000011920929);
  EXPECT_TRUE(std::isinf(platform::floatValue(Value(1e300))));
}

TEST(IntValueTest, TruncatesAndSaturates) {
  EXPECT_EQ(platform::intValue(Value(5.9)), 5);
  EXPECT_EQ(platform::intValue(Value(-5.9)), -5);
  EXPECT_EQ(platform::intValue(Value(std::int64_t{1} << 40)), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(platform::intValue(Value(-1e30)), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(platform::intValue(Value(std::nan(""))), 0);
  EXPECT_EQ(platform::intValue(Value(" -12abc")), -12);
  EXPECT_EQ(platform::intValue(Value("99999999999999")), std::numeric_limits<int32_t>::max());
}

TEST(ScalarConversionsTest, OnlyNumbersBooleansAndStrings) {
  EXPECT_TRUE(platform::hasScalarConversions(Value(1)));
  EXPECT_TRUE(platform::hasScalarConversions(Value("x")));
  EXPECT_FALSE(platform::hasScalarConversions(Value(Array{})));
  EXPECT_FALSE(platform::hasScalarConversions(Value(Dictionary{})));
  EXPECT_FALSE(platform::hasScalarConversions(Value(platform::Data{})));
}

TEST(DescriptionTest, ReadsLikeThePlatformsDescriptions) {
  Dictionary d;
  d.setObjectForKey(Value(Array{Value(1), Value(0.5)}), "VibePattern");
  d.setObjectForKey(Value(-6.5), "BrightnessValue");
  EXPECT_EQ(platform::description(Value(d)), "{VibePattern = (1, 0.5); BrightnessValue = -6.5;}");
  EXPECT_EQ(platform::description(Value(0.1f)), "0.10000000149011612");
  EXPECT_EQ(platform::description(Value("/Library/Ringtones/Opening.m4r")),
            "/Library/Ringtones/Opening.m4r");
}

TEST(DictionaryTest, KeepsOrderAndReplacesInPlace) {
  Dictionary d;
  d.setObjectForKey(Value(1), "b");
  d.setObjectForKey(Value(2), "a");
  d.setObjectForKey(Value(3), "b");
  EXPECT_EQ(d.allKeys(), (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(*d.objectForKey("b"), Value(3));
  d.removeObjectForKey("b");
  EXPECT_EQ(d.objectForKey("b"), nullptr);
  EXPECT_EQ(d.count(), 1u);
}

}  // namespace
