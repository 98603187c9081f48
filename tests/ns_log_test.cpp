#include "platform/ns_log.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

template <typename... Args>
std::string format(std::string_view fmt, const Args&... args) {
  const platform::LogArgument converted[] = {platform::toLogArgument(args)...,
                                             platform::LogArgument{std::int64_t{0}}};
  return platform::formatLogMessage(fmt, {converted, sizeof...(Args)});
}

TEST(FormatLogMessageTest, PrintfConversions) {
  EXPECT_EQ(format("state: %d", 5), "state: 5");
  EXPECT_EQ(format("%f|%.2f|%5.1f", 2.0, 0.8, -4.0), "2.000000|0.80| -4.0");
  EXPECT_EQ(format("%s and %@", "text", std::string("object")), "text and object");
  EXPECT_EQ(format("100%% sure"), "100% sure");
  EXPECT_EQ(format("%ld %lld %u %x", 1L, 2LL, 3u, 255), "1 2 3 ff");
  EXPECT_EQ(format("%c%c", 'o', 'k'), "ok");
}

TEST(FormatLogMessageTest, PointersAndObjects) {
  auto* p = reinterpret_cast<void*>(0x10000000);
  EXPECT_EQ(format("<SBUserAgent: %p>", p), "<SBUserAgent: 0x10000000>");
  const platform::Value path("/tmp/ring.m4r");
  EXPECT_EQ(format("at %@", &path), "at /tmp/ring.m4r");
  const platform::Value* none = nullptr;
  EXPECT_EQ(format("at %@", none), "at (null)");
}

TEST(FormatLogMessageTest, MissingArgumentsAndOddFormatsDoNotCrash) {
  EXPECT_EQ(format("%d and %@"), " and ");
  EXPECT_EQ(format("trailing %"), "trailing %");
  EXPECT_EQ(format("%y", 1), "%y");
  EXPECT_EQ(format("%d", 2.9), "2");
  EXPECT_EQ(format("%f", 3), "3.000000");
  EXPECT_EQ(format("%999999999d", 1).size(), 256u) << "width is bounded";
}

class NSLogTest : public testing_support::PhoneTest {};

TEST_F(NSLogTest, RecordsEachMessageWithTimeAndQueue) {
  platform::NSLog("TW: first %d", 1);
  sim::postAt(testing_support::seconds(1.5), [] { platform::NSLog("TW: second"); });
  sim::fastForwardUntilNoTasksRemain();
  const auto lines = sim::logLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, "TW: first 1");
  EXPECT_EQ(lines[0].queue, "main");
  EXPECT_EQ(lines[1].time, testing_support::seconds(1.5));
}

}  // namespace
