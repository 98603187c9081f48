#include "platform/sim/property_list_codec.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

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

// Random values of every kind, nested, through the binary writer and back through libplist.
Value randomValue(std::mt19937& random, int depth) {
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
  auto text = [&] {
    static const char* const pieces[] = {
        "a", "Z", " ", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x94\x94", "key", "0"};
    std::string t;
    for (int n = pick(20); n > 0; --n) t += pieces[pick(8)];
    return t;
  };
  switch (pick(depth < 3 ? 9 : 7)) {
    case 0:
      return Value(pick(2) == 1);
    case 1: {
      static const std::int64_t edges[] = {
          0, 1, 255, 256, 65535, 65536, 4294967295LL, 4294967296LL, -1, INT64_MIN, INT64_MAX};
      return Value(pick(2) ? edges[pick(11)] : std::int64_t{pick(1000000)} - 500000);
    }
    case 2: {
      static const double edges[] = {0.0, -0.0, 0.8, -4.0, 1e300, 4.9e-324, 1e-310};
      return Value(edges[pick(7)]);
    }
    case 3:
      return Value(text());
    case 4: {
      // libplist reads dates to the microsecond (sixty-fourths are exact), and a fraction of a
      // second before 2001 wrongly, whoever wrote it.
      const double seconds = pick(2000000000) - 1000000000;
      return Value(Date{seconds + (seconds >= 0 ? pick(64) / 64.0 : 0.0)});
    }
    case 5: {
      Data d(static_cast<std::size_t>(pick(40)));
      for (auto& b : d) b = static_cast<std::uint8_t>(pick(256));
      return Value(d);
    }
    case 6:
      return Value(text() + "x");
    case 7: {
      Array a;
      for (int n = pick(20); n > 0; --n) a.push_back(randomValue(random, depth + 1));
      return Value(a);
    }
    default: {
      Dictionary d;
      for (int n = pick(40); n > 0; --n) d.setObjectForKey(randomValue(random, depth + 1), text());
      return Value(d);
    }
  }
}

// Where two values first differ, for the failure message.
std::string firstDifference(const Value& a, const Value& b, const std::string& path) {
  const auto* da = a.getIf<Dictionary>();
  const auto* db = b.getIf<Dictionary>();
  if (da && db) {
    for (std::size_t i = 0; i < da->count(); ++i) {
      const Value* other = db->objectForKey(da->allKeys()[i]);
      if (!other) return path + "/" + da->allKeys()[i] + " missing";
      auto d = firstDifference(da->valueAt(i), *other, path + "/" + da->allKeys()[i]);
      if (!d.empty()) return d;
    }
    return da->count() == db->count() ? "" : path + ": sizes";
  }
  const auto* aa = a.getIf<Array>();
  const auto* ab = b.getIf<Array>();
  if (aa && ab && aa->size() == ab->size()) {
    for (std::size_t i = 0; i < aa->size(); ++i) {
      auto d = firstDifference((*aa)[i], (*ab)[i], path + "[" + std::to_string(i) + "]");
      if (!d.empty()) return d;
    }
    return "";
  }
  return a == b ? "" : path + ": " + platform::description(a) + " vs " + platform::description(b);
}

TEST(PropertyListCodecTest, BinaryListsReadBackAsWrittenWhateverTheyHold) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 300; ++round) {
    Dictionary root;
    for (int n = 0; n < 8; ++n) root.setObjectForKey(randomValue(random, 0), std::to_string(n));
    const auto bytes = sim::serializePropertyList(Value(root), PropertyListFormat::binary);
    const auto back = parse(bytes);
    ASSERT_TRUE(back.has_value()) << "round " << round;
    ASSERT_TRUE(*back == Value(root))
        << "round " << round << ": " << firstDifference(*back, Value(root), "");
  }
}

TEST(PropertyListCodecTest, ALargeDomainIsWrittenAndReadInOrder) {
  Dictionary big;
  for (int i = 0; i < 70000; ++i) big.setObjectForKey(Value(i), "key" + std::to_string(i));
  const auto back = parse(sim::serializePropertyList(Value(big), PropertyListFormat::binary));
  ASSERT_TRUE(back.has_value());
  const auto* d = back->getIf<Dictionary>();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->count(), 70000u);
  EXPECT_EQ(d->allKeys()[69999], "key69999");
  EXPECT_EQ(*d->objectForKey("key12345"), Value(12345));
}

TEST(PropertyListCodecTest, ValuesThatCannotBeWrittenBackExactlyAreNamed) {
  const std::string xml =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
      "<key>fine</key><integer>5</integer>"
      "<key>future</key><date>2100-01-01T00:00:00Z</date>"
      "<key>huge</key><integer>18446744073709551615</integer></dict></plist>";
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(xml.data());
  EXPECT_EQ(sim::firstKeyNotKeptExactly({bytes, xml.size()}), std::string("future"));
  const std::string kept =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
      "<key>date</key><date>2026-12-09T01:02:03Z</date><key>n</key><integer>-1</integer>"
      "</dict></plist>";
  EXPECT_EQ(sim::firstKeyNotKeptExactly(
                {reinterpret_cast<const std::uint8_t*>(kept.data()), kept.size()}),
            std::nullopt);
}

// An unsigned integer above 2^63-1 is the number it is (as NSNumber reads it), not -1; a
// negative one stays negative.
TEST(PropertyListCodecTest, AnIntegerAboveTheSignedRangeReadsAsItsNumber) {
  const std::string xml =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
      "<key>huge</key><integer>18446744073709551615</integer>"
      "<key>minus</key><integer>-1</integer></dict></plist>";
  const auto value = parse(xml);
  ASSERT_TRUE(value.has_value());
  const Dictionary& d = *value->getIf<Dictionary>();
  EXPECT_EQ(*d.objectForKey("huge"), Value(18446744073709551615.0));
  EXPECT_EQ(*d.objectForKey("minus"), Value(-1));
  EXPECT_EQ(
      sim::firstKeyNotKeptExactly({reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size()}),
      std::string("huge"));
}

// A binary list may point to one container many times. Read by following every reference, a few
// hundred bytes stand for billions of values: what they stand for is counted first, without
// building it, and refused past 250,000.
TEST(SharedContainersTest, AListThatStandsForTooManyValuesIsRefusedAtOnce) {
  const std::string bomb = testing_support::sharedContainerList(40);  // 2^41 values
  EXPECT_LT(bomb.size(), 300u);
  std::string error;
  EXPECT_FALSE(sim::parsePropertyList(
      {reinterpret_cast<const std::uint8_t*>(bomb.data()), bomb.size()}, &error));
  EXPECT_EQ(error,
            "the property list stands for more than 250000 values (counting each use of a value "
            "it shares), the most read");
  EXPECT_FALSE(sim::firstKeyNotKeptExactly(
      {reinterpret_cast<const std::uint8_t*>(bomb.data()), bomb.size()}));
}

TEST(SharedContainersTest, SharingWithinTheBoundIsReadAndWrittenBackShared) {
  const std::string shared = testing_support::sharedContainerList(16);  // 2^17 values
  const auto value = parse(shared);
  ASSERT_TRUE(value.has_value());
  const std::string written = sim::serializePropertyList(*value, PropertyListFormat::binary);
  EXPECT_LT(written.size(), 2 * shared.size()) << "never written expanded";
  EXPECT_EQ(parse(written), value);
}

TEST(SharedContainersTest, AContainerThatContainsItselfIsRefused) {
  // An array whose one element is itself.
  std::string loop = std::string("bplist00") + std::string("\xA1\x00", 2) + "\x08";
  loop.append(6, '\0');
  loop += "\x01\x01";
  loop += std::string(7, '\0') + "\x01" + std::string(8, '\0') + std::string(7, '\0') + "\x0A";
  std::string error;
  EXPECT_FALSE(sim::parsePropertyList(
      {reinterpret_cast<const std::uint8_t*>(loop.data()), loop.size()}, &error));
  EXPECT_EQ(error, "the property list holds a container that contains itself");
}

TEST(FilesTest, ReadsOnlyRegularFilesAndNoMoreThanItsLimit) {
  testing_support::TemporaryFolder folder;
  std::string error;
  EXPECT_FALSE(sim::readFile("/dev/zero", &error).has_value());
  EXPECT_EQ(error, "not a regular file");
  const std::string fifo = folder.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_FALSE(sim::readFile(fifo, &error).has_value()) << "and it does not wait for a writer";
  EXPECT_EQ(error, "not a regular file");
  const std::string file = folder.path() + "/file";
  std::ofstream(file) << std::string(3 << 20, 'x');
  EXPECT_FALSE(sim::readFile(file, &error, 2u << 20).has_value());
  EXPECT_EQ(error, "larger than 2 MiB, the most this reads");
  EXPECT_EQ(sim::readFile(file, &error, 4u << 20)->size(), 3u << 20);
}

TEST(FilesTest, WritesThroughALinkAndNeverOverADevice) {
  testing_support::TemporaryFolder folder;
  const std::string target = folder.path() + "/real.plist";
  const std::string link = folder.path() + "/link.plist";
  ASSERT_TRUE(sim::writeFileAtomically(target, "old"));
  std::filesystem::create_symlink("real.plist", link);
  ASSERT_TRUE(sim::writeFileAtomically(link, "new"));
  EXPECT_TRUE(std::filesystem::is_symlink(link)) << "the link stays a link";
  EXPECT_EQ(sim::readFile(target), "new");

  std::string error;
  EXPECT_FALSE(sim::writeFileAtomically("/dev/null", "x", &error));
  EXPECT_EQ(error, "not a regular file; it is left as it is");
  struct stat info {};
  ASSERT_EQ(::stat("/dev/null", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
  EXPECT_FALSE(sim::writeFileAtomically(folder.path(), "x", &error)) << "a folder";
}

TEST(FilesTest, TemporariesOfAKilledWriterAreRemoved) {
  testing_support::TemporaryFolder folder;
  const std::string target = folder.path() + "/domain.plist";
  // A writer that has ended: pid 1 runs, so find an id no process has.
  long dead = 4'000'000;
  while (sim::processRuns(dead)) --dead;
  const std::string stale = target + ".tmp-" + std::to_string(dead) + "-abcdef";
  const std::string live = target + ".tmp-" + std::to_string(::getpid()) + "-ghijkl";
  std::ofstream(stale) << "half";
  std::ofstream(live) << "mine";
  ASSERT_TRUE(sim::writeFileAtomically(target, "whole"));
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_TRUE(std::filesystem::exists(live)) << "a running writer's is left alone";
}

TEST(FilesTest, ExclusiveCreationNeverReplacesAFile) {
  testing_support::TemporaryFolder folder;
  std::vector<std::string> made;
  for (int i = 0; i < 3; ++i) {
    auto path = sim::createFileExclusively(folder.path(), "20261209T010203Z-a@b", ".eml",
                                           "mail " + std::to_string(i));
    ASSERT_TRUE(path.has_value());
    made.push_back(*path);
  }
  EXPECT_EQ(made[0], folder.path() + "/20261209T010203Z-a@b.eml");
  EXPECT_EQ(made[2], folder.path() + "/20261209T010203Z-a@b-3.eml");
  EXPECT_EQ(sim::readFile(made[0]), "mail 0");
}

TEST(FilesTest, ALockIsExclusiveAndAStaleOneIsTakenOver) {
  testing_support::TemporaryFolder folder;
  const std::string path = folder.path() + "/domain.plist";
  {
    sim::FileLock first(path);
    ASSERT_TRUE(first.held());
    sim::FileLock second(path, 0.05);
    EXPECT_FALSE(second.held());
    EXPECT_NE(second.error().find(path + ".lock: another process is changing this file"),
              std::string::npos)
        << second.error();
  }
  EXPECT_FALSE(std::filesystem::exists(path + ".lock"));
  long dead = 4'000'000;
  while (sim::processRuns(dead)) --dead;
  std::ofstream(path + ".lock") << dead << "\n";
  sim::FileLock taken(path, 0.05);
  EXPECT_TRUE(taken.held()) << "its holder has ended";
}

// Two writers that both find a lock stale must not both take it: the second one's look at the
// file may come after the first has already taken the lock over.
TEST(FilesTest, ALockThatLooksStaleIsNotTakenFromAHolderThatLives) {
  testing_support::TemporaryFolder folder;
  const std::string path = folder.path() + "/domain.plist";
  sim::FileLock first(path);
  ASSERT_TRUE(first.held());
  long dead = 4'000'000;
  while (sim::processRuns(dead)) --dead;
  std::ofstream(path + ".lock") << dead << "\n";  // what a late look at the file finds
  sim::FileLock second(path, 0.05);
  EXPECT_FALSE(second.held());
}

TEST(FilesTest, AnEmptyLockLeftByAWriterKilledBeforeItWroteItsIdIsTakenOver) {
  testing_support::TemporaryFolder folder;
  const std::string path = folder.path() + "/domain.plist";
  std::ofstream(path + ".lock").flush();
  sim::FileLock taken(path, 0.05);
  EXPECT_TRUE(taken.held()) << taken.error();
}

}  // namespace
