#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/ns_object.h"
#include "test_support.h"

namespace {

using testing_support::seconds;

class Recorder : public platform::NSObject {
 public:
  bool performSelectorWithObject(platform::SEL selector, const platform::Value*) override {
    calls.emplace_back(selector);
    const platform::TaskRunner* queue = platform::TaskRunner::current();
    queues.emplace_back(queue ? queue->label() : "(none)");
    times.push_back(sim::now());
    return true;
  }
  std::vector<std::string> calls;
  std::vector<std::string> queues;  // where each call ran
  std::vector<platform::Duration> times;
};

class SchedulerTest : public testing_support::PhoneTest {};

TEST_F(SchedulerTest, DelayedRequestFiresAtItsTimeAndNotBefore) {
  auto target = std::make_shared<Recorder>();
  target->performSelectorWithObjectAfterDelay("fire", nullptr, 2.0);
  sim::fastForwardBy(seconds(1.999));
  EXPECT_TRUE(target->calls.empty());
  sim::fastForwardBy(seconds(0.001));
  EXPECT_EQ(target->calls, std::vector<std::string>{"fire"});
  EXPECT_EQ(sim::now(), seconds(2.0));
}

TEST_F(SchedulerTest, ZeroDelayRunsOnTheNextPassNotAtOnce) {
  auto target = std::make_shared<Recorder>();
  target->performSelectorWithObjectAfterDelay("soon", nullptr, 0.0);
  EXPECT_TRUE(target->calls.empty());
  sim::runUntilIdle();
  EXPECT_EQ(target->calls.size(), 1u);
}

TEST_F(SchedulerTest, RunUntilIdleRunsWhatIsDueNowAndLetsNoTimePass) {
  sim::fastForwardBy(seconds(3));
  std::vector<std::string> ran;
  sim::postAt(seconds(1), [&] { ran.push_back("overdue"); });
  sim::postAt(seconds(3), [&] {
    ran.push_back("due");
    // Posted now by a running task: due now as well, so it runs in the same pass.
    sim::postAt(sim::now(), [&] { ran.push_back("posted by due"); });
    // Posted for later: it waits, however little later.
    sim::postAt(sim::now() + platform::Duration{1}, [&] { ran.push_back("a nanosecond later"); });
  });
  sim::postAt(seconds(4), [&] { ran.push_back("later"); });
  sim::runUntilIdle();
  EXPECT_EQ(ran, (std::vector<std::string>{"overdue", "due", "posted by due"}));
  EXPECT_EQ(sim::now(), seconds(3)) << "no time passes";
  EXPECT_EQ(sim::pendingTaskCount(), 2u);

  sim::fastForwardBy(platform::Duration{1});
  EXPECT_EQ(ran.back(), "a nanosecond later");
  sim::fastForwardUntilNoTasksRemain();
  EXPECT_EQ(ran.back(), "later");
  EXPECT_EQ(sim::now(), seconds(4)) << "to the last task's time, no further";
}

TEST_F(SchedulerTest, RunUntilIdleStopsAtItsLimitWhenTasksKeepPostingForNow) {
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    sim::postAt(sim::now(), again);
  };
  sim::postAt(sim::now(), again);
  sim::runUntilIdle(100);
  EXPECT_EQ(runs, 100);
  EXPECT_EQ(sim::now(), platform::Duration{0});
  EXPECT_EQ(sim::pendingTaskCount(), 1u);
}

TEST_F(SchedulerTest, TiesRunFirstInFirstOut) {
  std::vector<int> order;
  auto queue = platform::dispatch_queue_create("cameraQueue", nullptr);
  for (int i = 0; i < 5; ++i) {
    sim::postAt(
        seconds(1), [&order, i] { order.push_back(i); }, i % 2 ? queue.get() : nullptr);
  }
  sim::fastForwardUntilNoTasksRemain();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST_F(SchedulerTest, CancelDropsOnlyTheTargetsPendingRequests) {
  auto a = std::make_shared<Recorder>();
  auto b = std::make_shared<Recorder>();
  a->performSelectorWithObjectAfterDelay("setup", nullptr, 2.0);
  a->performSelectorWithObjectAfterDelay("timeout", nullptr, 90.0);
  b->performSelectorWithObjectAfterDelay("other", nullptr, 1.0);
  a->performSelectorOnMainThreadWithObjectWaitUntilDone("onMain", nullptr, false);
  platform::NSObject::cancelPreviousPerformRequestsWithTarget(a.get());
  platform::NSObject::cancelPreviousPerformRequestsWithTarget(nullptr);
  sim::fastForwardUntilNoTasksRemain();
  EXPECT_EQ(a->calls, std::vector<std::string>{"onMain"});
  EXPECT_EQ(b->calls, std::vector<std::string>{"other"});
}

TEST_F(SchedulerTest, RequestKeepsItsSharedTargetAlive) {
  std::weak_ptr<Recorder> watch;
  {
    auto target = std::make_shared<Recorder>();
    watch = target;
    target->performSelectorWithObjectAfterDelay("later", nullptr, 1.0);
  }
  EXPECT_FALSE(watch.expired());
  sim::fastForwardUntilNoTasksRemain();
  EXPECT_TRUE(watch.expired());
}

TEST_F(SchedulerTest, RequestsMadeInsideATaskGoToThatTasksQueue) {
  auto queue = platform::dispatch_queue_create("cameraQueue", nullptr);
  auto target = std::make_shared<Recorder>();
  std::string ranOn;
  platform::dispatch_async(queue, [&] {
    target->performSelectorWithObjectAfterDelay("x", nullptr, 0.5);
    ranOn = platform::TaskRunner::current()->label();
  });
  sim::fastForwardUntilNoTasksRemain();
  EXPECT_EQ(ranOn, "cameraQueue");
  EXPECT_EQ(target->calls, std::vector<std::string>{"x"});
  EXPECT_EQ(target->queues, std::vector<std::string>{"cameraQueue"}) << "not the main run loop";
  EXPECT_EQ(target->times, std::vector<platform::Duration>{seconds(0.5)});
  EXPECT_EQ(sim::pendingTaskCount(), 0u);
}

}  // namespace
