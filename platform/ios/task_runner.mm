#include "task_runners.h"

#include <pthread.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch.h"
#include "platform/ns_operation_queue.h"
#include "run_loop_requests.h"

namespace platform {

namespace {

// The queue running on this thread. The oldest phones have no thread_local: a pthread key.
pthread_key_t currentRunnerKey() {
  static const pthread_key_t key = [] {
    pthread_key_t made;
    pthread_key_create(&made, nullptr);
    return made;
  }();
  return key;
}

TaskRunner* currentRunner() {
  return static_cast<TaskRunner*>(pthread_getspecific(currentRunnerKey()));
}

void setCurrentRunner(TaskRunner* runner) {
  pthread_setspecific(currentRunnerKey(), runner);
}

// One posted task. It runs at most once; cancelling it before it starts drops it.
struct PostedTask {
  enum State { pending, running, dropped };
  std::function<void()> work;
  const void* tag;
  TaskRunner* runner;
  std::atomic<int> state{pending};
};

// Tasks by tag, across every queue: cancellation may come from another thread than the one
// that posted.
struct TaggedTasks {
  std::mutex mutex;
  std::multimap<const void*, std::weak_ptr<PostedTask>> byTag;

  void add(const std::shared_ptr<PostedTask>& task) {
    std::lock_guard lock(mutex);
    byTag.emplace(task->tag, task);
  }
  void remove(const PostedTask* task) {
    std::lock_guard lock(mutex);
    auto [first, last] = byTag.equal_range(task->tag);
    for (auto it = first; it != last;) {
      auto locked = it->second.lock();
      it = (!locked || locked.get() == task) ? byTag.erase(it) : std::next(it);
    }
  }
  std::size_t drop(const void* tag, const TaskRunner* onlyOn) {
    std::vector<std::shared_ptr<PostedTask>> found;
    {
      std::lock_guard lock(mutex);
      auto [first, last] = byTag.equal_range(tag);
      for (auto it = first; it != last; ++it) {
        if (auto task = it->second.lock()) found.push_back(std::move(task));
      }
    }
    std::size_t dropped = 0;
    for (const auto& task : found) {
      if (onlyOn && task->runner != onlyOn) continue;
      int expected = PostedTask::pending;
      if (task->state.compare_exchange_strong(expected, PostedTask::dropped)) ++dropped;
    }
    return dropped;
  }
};

TaggedTasks& taggedTasks() {
  static auto* tasks = new TaggedTasks;  // never destroyed: queues may run during exit
  return *tasks;
}

dispatch_time_t after(Duration delay) {
  return dispatch_time(DISPATCH_TIME_NOW, static_cast<std::int64_t>(delay.count()));
}

}  // namespace

GcdTaskRunner::GcdTaskRunner(std::string label, ::dispatch_queue_t queue)
    : label_(std::move(label)), queue_(queue) {}

void GcdTaskRunner::postDelayedTask(std::function<void()> task, Duration delay, const void* tag) {
  auto posted = std::make_shared<PostedTask>();
  posted->work = std::move(task);
  posted->tag = tag;
  posted->runner = this;
  if (tag) taggedTasks().add(posted);
  // A pending or running task keeps its queue alive.
  std::shared_ptr<GcdTaskRunner> keepAlive = weak_from_this().lock();
  dispatch_block_t run = ^{
    if (posted->tag) taggedTasks().remove(posted.get());
    int expected = PostedTask::pending;
    if (!posted->state.compare_exchange_strong(expected, PostedTask::running)) return;
    (void)keepAlive;
    TaskRunner* previous = currentRunner();
    setCurrentRunner(posted->runner);
    try {
      posted->work();
    } catch (...) {
      // A task never takes the host down.
    }
    setCurrentRunner(previous);
  };
  // A task due now still runs on a later pass, never inside this call.
  schedule(delay, run);
}

void GcdTaskRunner::schedule(Duration delay, dispatch_block_t run) {
  dispatch_after(after(delay), queue_, run);
}

std::size_t GcdTaskRunner::cancelTasksWithTag(const void* tag) {
  return tag ? taggedTasks().drop(tag, this) : 0;
}

OperationQueueRunner::OperationQueueRunner(::NSOperationQueue* operations)
    : GcdTaskRunner("NSOperationQueue",
                    ::dispatch_queue_create("NSOperationQueue timers", DISPATCH_QUEUE_SERIAL)),
      operations_(operations) {}

void OperationQueueRunner::schedule(Duration delay, dispatch_block_t run) {
  ::NSOperationQueue* operations = operations_;
  if (delay <= Duration{0}) {
    [operations addOperationWithBlock:run];
    return;
  }
  dispatch_after(after(delay), queue(), ^{
    [operations addOperationWithBlock:run];
  });
}

TaskRunner* TaskRunner::current() noexcept {
  return currentRunner();
}

TaskRunner& mainRunLoop() {
  static auto* main = new GcdTaskRunner("main", dispatch_get_main_queue());
  return *main;
}

std::shared_ptr<TaskRunner> createSerialQueue(std::string label) {
  ::dispatch_queue_t queue = ::dispatch_queue_create(label.c_str(), DISPATCH_QUEUE_SERIAL);
  return std::make_shared<GcdTaskRunner>(std::move(label), queue);
}

void cancelRequestsEverywhere(const void* tag) {
  if (tag) taggedTasks().drop(tag, nullptr);
}

}  // namespace platform
