#include "thread_task_runner.h"

#include <vector>

#include "virtual_scheduler.h"

namespace sim {

namespace {
using Clock = std::chrono::steady_clock;
}

struct ThreadTaskRunner::Core {
  struct Key {
    Clock::time_point due;
    std::uint64_t sequence;
    auto operator<=>(const Key&) const = default;
  };
  struct Entry {
    std::function<void()> task;
    const void* tag;
    // A pending or running task keeps its queue, as a dispatch queue is kept by its blocks.
    std::shared_ptr<TaskRunner> queue;
  };

  mutable std::mutex mutex;
  std::condition_variable wake;
  std::map<Key, Entry> tasks;
  std::uint64_t nextSequence = 0;
  bool running = false;
  bool stopping = false;

  void run(TaskRunner* runner) {
    CurrentRunnerScope scope(runner);
    std::unique_lock lock(mutex);
    for (;;) {
      if (stopping) return;
      if (tasks.empty()) {
        wake.wait(lock);
        continue;
      }
      const auto first = tasks.begin();
      // A copy: the entry may be cancelled while the lock is released in the wait.
      const Clock::time_point due = first->first.due;
      if (due > Clock::now()) {
        wake.wait_until(lock, due);
        continue;
      }
      Entry entry = std::move(first->second);
      tasks.erase(first);
      running = true;
      lock.unlock();
      entry.task();
      entry = {};  // releases the task's captures, possibly the queue itself
      lock.lock();
      running = false;
    }
  }
};

ThreadTaskRunner::ThreadTaskRunner(std::string label, double scale)
    : label_(std::move(label)), scale_(scale), core_(std::make_shared<Core>()) {
  thread_ = std::thread([core = core_, self = static_cast<TaskRunner*>(this)] { core->run(self); });
}

ThreadTaskRunner::~ThreadTaskRunner() {
  shutDown();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // released by one of its own tasks: the thread ends on its own
  } else {
    thread_.join();
  }
}

void ThreadTaskRunner::postDelayedTask(std::function<void()> task, Duration delay,
                                       const void* tag) {
  if (delay < Duration{0}) delay = Duration{0};
  const auto realDelay = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::nano>(static_cast<double>(delay.count()) * scale_));
  {
    std::lock_guard lock(core_->mutex);
    if (core_->stopping) return;
    core_->tasks.emplace(Core::Key{Clock::now() + realDelay, core_->nextSequence++},
                         Core::Entry{std::move(task), tag, weak_from_this().lock()});
  }
  core_->wake.notify_one();
}

std::size_t ThreadTaskRunner::cancelTasksWithTag(const void* tag) {
  std::vector<Core::Entry> dropped;  // destroyed outside the lock: their captures may post
  std::lock_guard lock(core_->mutex);
  for (auto it = core_->tasks.begin(); it != core_->tasks.end();) {
    if (it->second.tag == tag) {
      dropped.push_back(std::move(it->second));
      it = core_->tasks.erase(it);
    } else {
      ++it;
    }
  }
  return dropped.size();
}

bool ThreadTaskRunner::idle() const {
  std::lock_guard lock(core_->mutex);
  return core_->tasks.empty() && !core_->running;
}

void ThreadTaskRunner::shutDown() {
  std::map<Core::Key, Core::Entry> dropped;
  {
    std::lock_guard lock(core_->mutex);
    core_->stopping = true;
    dropped.swap(core_->tasks);
  }
  core_->wake.notify_all();
}

}  // namespace sim
