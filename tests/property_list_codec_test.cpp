#include "platform/sim/property_list_codec.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using platform::Array;
using platform::Data;
using platform::Date;
using platform::Dictionary;
using platform::Value;
using sim::PropertyListFormat;

std::optional<Value> parse(const std::string& bytes) {
  return sim::parsePropertyList(
      {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

Value sample() {
  Dictionary d;
  d.setObjectForKey(Value(true), "enabled");
  d.setObjectForKey(Value(-12), "negative");
  d.setObjectForKey(Value(0.8), "real");
  d.setObjectForKey(Value("text"), "string");
  d.setObjectForKey(Value(Array{Value(1), Value("two")}), "array");
  d.setObjectForKey(Value(Data{0, 1, 255}), "data");
  d.setObjectForKey(Value(Date{86400.0}), "date");
  return Value(d);
}

TEST(PropertyListCodecTest, RoundTripsEveryTypeInBothFormats) {
  for (auto format : {PropertyListFormat::binary, PropertyListFormat::xml}) {
    const auto bytes = sim::serializePropertyList(sample(), format);
    const auto back = parse(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, sample()) << bytes;
  }
  EXPECT_EQ(sim::serializePropertyList(sample(), PropertyListFormat::binary).substr(0, 8),
            "bplist00");
}

TEST(PropertyListCodecTest, RefusesWhatIsNotAPropertyList) {
  std::string error;
  EXPECT_FALSE(sim::parsePropertyList({}, &error).has_value());
  EXPECT_EQ(error, "the file is empty");
  EXPECT_FALSE(parse("garbage").has_value());
  EXPECT_FALSE(parse("bplist00").has_value());
  const auto binary = sim::serializePropertyList(sample(), PropertyListFormat::binary);
  for (std::size_t cut : {binary.size() - 1, binary.size() / 2, std::size_t{9}}) {
    EXPECT_FALSE(parse(binary.substr(0, cut)).has_value()) << "cut at " << cut;
  }
}

TEST(PropertyListCodecTest, AtomicWriteReplacesTheWholeFile) {
  testing_support::TemporaryFolder folder;
  const std::string path = folder.path() + "/domain.plist";
  ASSERT_TRUE(sim::writeFileAtomically(path, "first version"));
  ASSERT_TRUE(sim::writeFileAtomically(path, "second"));
  EXPECT_EQ(sim::readFile(path), "second");

  std::string error;
  EXPECT_FALSE(sim::writeFileAtomically(folder.path() + "/missing/dir/x.plist", "x", &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
