#include "platform/value.h"

#include "platform/ns_string.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <cstring>
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
  EXPECT_EQ(platform::intValue(Value(std::int64_t{1} << 40)), 0) << "the low 32 bits";
  EXPECT_EQ(platform::intValue(Value(std::int64_t{4294967297})), 1);
  EXPECT_EQ(platform::intValue(Value(std::int64_t{-1})), -1);
  EXPECT_EQ(platform::intValue(Value(-1e30)), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(platform::intValue(Value(std::nan(""))), 0);
  EXPECT_EQ(platform::intValue(Value(" -12abc")), -12);
  EXPECT_EQ(platform::intValue(Value("99999999999999")), std::numeric_limits<int32_t>::max());

  for (const char* text : {"5", " -12abc", "+1", "\t7"}) {
    EXPECT_TRUE(platform::hasLeadingInteger(Value(text))) << text;
  }
  for (const char* text : {"abc", "", " ", "-", "+x", ".5"}) {
    EXPECT_FALSE(platform::hasLeadingInteger(Value(text))) << text;
  }
  EXPECT_TRUE(platform::hasLeadingInteger(Value(2.5)));
  EXPECT_TRUE(platform::hasLeadingInteger(Value(true)));
  EXPECT_FALSE(platform::hasLeadingInteger(Value(platform::Array{})));
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
  EXPECT_EQ(platform::description(Value(d)),
            "{\n"
            "    BrightnessValue = \"-6.5\";\n"
            "    VibePattern =     (\n"
            "        1,\n"
            "        \"0.5\"\n"
            "    );\n"
            "}");
  EXPECT_EQ(platform::description(Value(0.1f)), "0.10000000149011612");
  EXPECT_EQ(platform::description(Value("/Library/Ringtones/Opening.m4r")),
            "/Library/Ringtones/Opening.m4r");
}

TEST(DescriptionTest, CollectionsNestEmptyAndQuoteAsThePhoneDoes) {
  Dictionary inner;
  inner.setObjectForKey(Value(Array{}), "{Empty}");
  Dictionary outer;
  outer.setObjectForKey(Value(Array{Value(Array{Value(true)}), Value(std::move(inner))}), "b");
  outer.setObjectForKey(Value("com.example.tonewell"), "a_1$");
  EXPECT_EQ(platform::description(Value(outer)),
            "{\n"
            "    a_1$ = \"com.example.tonewell\";\n"
            "    b =     (\n"
            "                (\n"
            "            1\n"
            "        ),\n"
            "                {\n"
            "            \"{Empty}\" =             (\n"
            "            );\n"
            "        }\n"
            "    );\n"
            "}");
  EXPECT_EQ(platform::description(Value(Array{})), "(\n)");
  EXPECT_EQ(platform::description(Value(Dictionary{})), "{\n}");
}

TEST(DescriptionTest, MembersThatAreNotPlainWordsAreQuotedAndEscaped) {
  auto member = [](Value v) {
    const std::string text = platform::description(Value(Array{std::move(v)}));
    return text.substr(6, text.size() - 8);  // inside "(\n    " and "\n)"
  };
  EXPECT_EQ(member(Value("Opening")), "Opening");
  EXPECT_EQ(member(Value("")), "\"\"");
  EXPECT_EQ(member(Value("/Library/Ringtones/Opening.m4r")), "\"/Library/Ringtones/Opening.m4r\"");
  EXPECT_EQ(member(Value("say \"hi\"\\\nbye")), "\"say \\\"hi\\\"\\\\\\nbye\"");
  EXPECT_EQ(member(Value("caf\xc3\xa9 \xf0\x9f\x93\x9e\t")),
            "\"caf\\U00e9 \\Ud83d\\Udcde\\U0009\"");
  // A byte that starts no whole character is shown as itself, and what follows still decodes.
  EXPECT_EQ(member(Value("a\xe9z\xc3")), "\"a\\U00e9z\\U00c3\"");
  EXPECT_EQ(member(Value("\xf0\x9f\x93\xc3\xa9")), "\"\\U00f0\\U009f\\U0093\\U00e9\"");
  EXPECT_EQ(member(Value(std::int64_t{-3})), "\"-3\"");
  EXPECT_EQ(member(Value(2.0)), "2");
  EXPECT_EQ(member(Value(platform::Date{0})), "\"2001-01-01 00:00:00 +0000\"");
  EXPECT_EQ(member(Value(platform::Data{1, 2, 3, 4, 0xab})), "<01020304 ab>");
  // Outside a collection a string is written as it is.
  EXPECT_EQ(platform::description(Value("a \"b\"")), "a \"b\"");
}

// NSString's rules: strict UTF-8 in, lengths in UTF-16 units out.
TEST(StringTest, OnlyStrictUtf8MakesAStringAndLengthCountsUtf16Units) {
  auto make = [](std::string_view bytes) {
    return platform::stringWithDataEncoding(platform::Data(bytes.begin(), bytes.end()),
                                            platform::NSUTF8StringEncoding);
  };
  EXPECT_EQ(make("caf\xc3\xa9"), "caf\xc3\xa9");
  EXPECT_FALSE(make("\xc0\x80"));          // an overlong form
  EXPECT_FALSE(make("\xed\xa0\x80"));      // a surrogate
  EXPECT_FALSE(make("\xf4\x90\x80\x80"));  // beyond U+10FFFF
  EXPECT_FALSE(make("\xe2\x82"));          // cut short
  EXPECT_FALSE(
      platform::stringWithDataEncoding(platform::Data{'a'},
                                       static_cast<platform::NSStringEncoding>(1)));  // ASCII

  EXPECT_EQ(platform::length(std::nullopt), 0u);
  EXPECT_EQ(platform::length(std::string("caf\xc3\xa9")), 4u);
  EXPECT_EQ(platform::length(std::string("\xf0\x9f\x93\x9e!")), 3u);  // a surrogate pair
  EXPECT_EQ(platform::length(std::string("a\xffz")), 3u);             // one replacement character
}

// The phone has no fmt: the shortest form is made with printf and strtod, and must read exactly
// as fmt prints doubles, across the switch to exponents and at the edges of precision.
TEST(DescriptionTest, ShortestTextMatchesTheShortestRoundTripForm) {
  const double samples[] = {0.0,
                            -0.0,
                            1.0,
                            -6.5,
                            0.8,
                            0.1f,
                            100.0,
                            1e-4,
                            1e-5,
                            1.5e-7,
                            123456789012.0,
                            1e15,
                            9999999999999998.0,
                            1e16,
                            1e20,
                            1.5e300,
                            5e-324,
                            std::numeric_limits<double>::max(),
                            1.0 / 3.0,
                            2.0 / 3.0,
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity()};
  for (double d : samples) EXPECT_EQ(platform::shortestText(d), fmt::format("{}", d)) << d;
  std::uint64_t state = 42;
  for (int i = 0; i < 2000; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    double d;
    std::memcpy(&d, &state, sizeof d);
    if (!std::isfinite(d)) continue;
    ASSERT_EQ(platform::shortestText(d), fmt::format("{}", d));
  }
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

namespace {

// A large dictionary keeps its index right through changes: look-ups, replacement, removal.
TEST(DictionaryTest, ALargeDictionaryFindsEveryKeyAfterChanges) {
  platform::Dictionary d;
  for (int i = 0; i < 1000; ++i) d.setObjectForKey(platform::Value(i), "k" + std::to_string(i));
  d.setObjectForKey(platform::Value("replaced"), "k500");
  d.removeObjectForKey("k10");
  d.removeObjectForKey("absent");
  EXPECT_EQ(d.count(), 999u);
  EXPECT_EQ(d.objectForKey("k10"), nullptr);
  EXPECT_EQ(*d.objectForKey("k500"), platform::Value("replaced"));
  EXPECT_EQ(*d.objectForKey("k999"), platform::Value(999));
  EXPECT_EQ(d.allKeys()[10], "k11") << "the order stays";
  for (int i = 0; i < 999; ++i) d.removeObjectForKey("k" + std::to_string(i));
  EXPECT_EQ(d.count(), 1u);
  EXPECT_EQ(*d.objectForKey("k999"), platform::Value(999)) << "small again, searched in order";
}

}  // namespace
