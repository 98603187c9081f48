// The emulator on a small arm64 binary built here without an iPhoneOS SDK (emulator/probe.mm):
// its imports bound, its classes and categories dispatched, its blocks run on the phone's
// queues, its C++ strings and exceptions, and the strict check of every message's arguments.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "emulator/phone_binary.h"
#include "process.h"
#include "stand_in.h"
#include "test_support.h"

namespace {

using emulator::Address;
using emulator::Argument;
using emulator::Message;

std::string probeBytes() {
  std::ifstream in(TONEWELL_PROBE_DYLIB, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

struct HostFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The probe in a process of its own, with the system's stand-ins and the test's TWProbeHost.
class EmulatorTest : public testing_support::PhoneTest {
 protected:
  void SetUp() override {
    process_ = std::make_unique<emulator::Process>(emulator::Arch::arm64);
    process_->defineSystem();
    defineProbeHost();
  }

  void defineProbeHost() {
    auto& rt = process_->runtime;
    emulator::defineStandIn(rt, "TWProbeHost", "NSObject", "the probe's own declaration")
        .classMethod("recordFloat:double:", "v#:fd",
                     [this](Message& m) {
                       recordedFloat_ = m.f32(0);
                       recordedDouble_ = m.f64(1);
                       return emulator::none();
                     })
        .classMethod("raiseHostException", "v#:",
                     [](Message&) -> Argument { throw HostFailure("the host's own exception"); })
        .classMethod("raiseObjectiveCException", "v#:", [](Message& m) -> Argument {
          const Address exception = m.runtime.createInstance(m.runtime.classNamed("NSException"));
          throw emulator::ObjcRaise{m.runtime.autorelease(exception)};
        });
  }

  void load() {
    auto parsed = emulator::MachOFile::parse(probeBytes(), emulator::Arch::arm64);
    ASSERT_TRUE(std::holds_alternative<emulator::MachOFile>(parsed))
        << std::get<std::string>(parsed);
    process_->load(std::move(std::get<emulator::MachOFile>(parsed)), "probe.dylib");
  }

  // Calls an exported function of the probe with integer arguments; its x0.
  std::uint64_t call(const std::string& name, std::vector<Argument> args = {}) {
    auto address = process_->image->exported("_" + name);
    EXPECT_TRUE(address.has_value()) << name;
    std::uint64_t result = 0;
    process_->enter([&] { result = process_->machine.call(*address, args).integer; });
    return result;
  }

  int exportedInt(const std::string& name) {
    auto address = process_->image->exported("_" + name);
    return address ? process_->machine.load<std::int32_t>(*address) : -1;
  }

  const std::string failure() const { return process_->runtime.failure().value_or(""); }

  std::unique_ptr<emulator::Process> process_;
  float recordedFloat_ = 0;
  double recordedDouble_ = 0;
};

TEST_F(EmulatorTest, LoadingBindsEveryImportAndNamesTheOnesNoStandInServes) {
  load();
  EXPECT_GT(process_->image->bindCount(), 30u);
  // Lazily bound imports work at their first call, as the phone's dyld binds them.
  EXPECT_EQ(call("twProbeRebased", {Argument::integer(2, 4, false)}), 7u);  // "rebased"
  EXPECT_EQ(call("twProbeRebased", {Argument::integer(0, 4, false)}), 5u);  // "phone"

  auto fresh = std::make_unique<emulator::Process>(emulator::Arch::arm64);
  fresh->defineSystem();  // no TWProbeHost: the probe imports a class no stand-in has
  auto parsed = emulator::MachOFile::parse(probeBytes(), emulator::Arch::arm64);
  try {
    fresh->load(std::move(std::get<emulator::MachOFile>(parsed)), "probe.dylib");
    FAIL() << "the probe loaded without TWProbeHost";
  } catch (const emulator::EmulationFault& fault) {
    EXPECT_NE(std::string(fault.what()).find("_OBJC_CLASS_$_TWProbeHost"), std::string::npos)
        << fault.what();
  }
}

TEST_F(EmulatorTest, MessagesReachTheBinarysClassesCategoriesAndTheStandIns) {
  load();
  EXPECT_EQ(call("twProbeCategory"), 42u);
  EXPECT_EQ(exportedInt("gProbeDeallocs"), 1) << "the object made and dropped is freed";
  call("twProbeFloatAndDouble");
  EXPECT_EQ(failure(), "");
  EXPECT_EQ(recordedFloat_, 0.25f);
  EXPECT_EQ(recordedDouble_, 0.1);
}

TEST_F(EmulatorTest, AnArgumentOfTheWrongKindEndsTheRunNamingTheMethodAndTheCaller) {
  load();
  call("twProbeWrongKind");
  EXPECT_NE(failure().find("argument 1 of +[TWProbeHost recordFloat:double:]"), std::string::npos)
      << failure();
  EXPECT_NE(failure().find("a double"), std::string::npos) << failure();
  EXPECT_NE(failure().find("twProbeWrongKind"), std::string::npos)
      << "names the caller: " << failure();
  // The emulation has ended: the host's later calls into the binary do nothing.
  EXPECT_EQ(call("twProbeCategory"), 0u);
}

TEST_F(EmulatorTest, AMessageTheClassLacksEndsTheRun) {
  load();
  call("twProbeMissingMessage");
  EXPECT_NE(failure().find("+[TWProbeHost noSuchMessage]: the class answers no such message"),
            std::string::npos)
      << failure();
  EXPECT_NE(failure().find("sent from probe.dylib+0x"), std::string::npos) << failure();
  EXPECT_NE(failure().find("twProbeMissingMessage"), std::string::npos) << failure();
}

TEST_F(EmulatorTest, ABlockRunsOnItsQueueWithWhatItCapturedAndThenLetsItGo) {
  load();
  call("twProbeBlockOnQueue");
  EXPECT_EQ(exportedInt("gProbeCounter"), 0) << "the block waits for its queue";
  sim::runUntilIdle();
  EXPECT_EQ(failure(), "");
  EXPECT_EQ(exportedInt("gProbeCounter"), 5 + 59);
  EXPECT_EQ(exportedInt("gProbeDeallocs"), 1) << "the captured object goes with the block";
}

TEST_F(EmulatorTest, CameraSessionsDrivenFromUnorderedQueuesEndTheRun) {
  load();
  call("twProbeCameraHandOver", {Argument::integer(1, 4, false)});
  sim::runUntilIdle();
  EXPECT_EQ(failure(), "") << "one queue keeps the older session's calls first";

  sim::fastForwardBy(testing_support::seconds(2));  // sessions seconds apart are no race
  call("twProbeCameraHandOver", {Argument::integer(0, 4, false)});
  sim::runUntilIdle();
  EXPECT_NE(failure().find("-[AVCaptureSession startRunning] on a queue other than the one"),
            std::string::npos)
      << failure();
  EXPECT_NE(failure().find("twProbeCameraHandOver_block_invoke"), std::string::npos) << failure();
}

TEST_F(EmulatorTest, CxxStringsKeepThePhonesLayoutShortAndLong) {
  load();
  const Address buffer = process_->machine.allocate(128);
  const auto length = call("twProbeString", {Argument::pointer(emulator::Arch::arm64, buffer),
                                             Argument::integer(128, 8, false)});
  const std::string text = process_->machine.readCString(buffer);
  EXPECT_EQ(text, ">phone binary 64! and a tail that makes it long");
  EXPECT_EQ(length, text.size());
}

TEST_F(EmulatorTest, ExceptionsAreCaughtInTheBinaryAndTheHostsPassThroughItsFrames) {
  load();
  EXPECT_EQ(call("twProbeCaughtException"), 7u);
  EXPECT_EQ(exportedInt("gProbeCleanups"), 1) << "the scope's destructor ran on the way";
  EXPECT_EQ(call("twProbeLibraryException"), 1u) << "std::out_of_range from the library, caught "
                                                    "as std::exception, with its what()";
  EXPECT_EQ(call("twProbeObjectiveCCatch"), 1u);
  EXPECT_EQ(call("twProbeCatchAll"), 3u);
  EXPECT_EQ(failure(), "");

  auto address = process_->image->exported("_twProbeHostExceptionPasses");
  ASSERT_TRUE(address);
  EXPECT_THROW(process_->machine.call(*address, {}), HostFailure);
  EXPECT_EQ(exportedInt("gProbeCleanups"), 2)
      << "the binary's cleanup ran before the host's handler";
  EXPECT_EQ(call("twProbeCategory"), 42u) << "the binary still runs after the exception";
}

TEST(PhoneBinaryTest, SaysWhatIsWrongWithAFileThatCannotBeLoaded) {
  auto missing = emulator::PhoneBinary::load("/no/such/file", "arm64");
  ASSERT_TRUE(std::holds_alternative<std::string>(missing));
  EXPECT_NE(std::get<std::string>(missing).find("cannot read /no/such/file"), std::string::npos);
  auto noSlice = emulator::PhoneBinary::load(TONEWELL_PROBE_DYLIB, "armv7s");
  ASSERT_TRUE(std::holds_alternative<std::string>(noSlice));
  EXPECT_EQ(emulator::PhoneBinary::architectures(TONEWELL_PROBE_DYLIB),
            std::vector<std::string>{"arm64"});
}

TEST(MachOFileTest, AnyPrefixOfABinaryIsRefusedOrReadWithoutReadingPastIt) {
  const std::string bytes = probeBytes();
  for (std::size_t size = 0; size < bytes.size(); size += 97) {
    auto parsed = emulator::MachOFile::parse(bytes.substr(0, size), emulator::Arch::arm64);
    if (auto* file = std::get_if<emulator::MachOFile>(&parsed)) {
      file->binds();
      file->rebases();
      file->exports();
    }
  }
}

}  // namespace
