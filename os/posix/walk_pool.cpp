#include "os/posix/walk_pool.h"

#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <system_error>

namespace os::posix {
namespace {

constexpr std::size_t kMaxThreads = 8;

// How many parts of walks this thread is running, one inside another.
thread_local int t_depth = 0;

std::size_t hostCores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return static_cast<std::size_t>(std::max(1, CPU_COUNT(&set)));
}

} // namespace

std::size_t WalkPool::configuredThreads() {
  if (const char* value = std::getenv("TAVRIX_WALK_THREADS")) {
    const std::string text = value;
    if (text.size() == 1 && text[0] >= '1' && text[0] <= '8')
      return static_cast<std::size_t>(text[0] - '0');
  }
  return std::min(hostCores(), kMaxThreads);
}

WalkPool::~WalkPool() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  // No thread is started once the pool ends, so the list stays as it is.
  for (std::thread& thread : started_) thread.join();
}

bool WalkPool::wantsWork() {
  if (threads_ <= 1 || t_depth > kMaxNesting || directories_.load() < kSmallTree) return false;
  std::lock_guard lock(mutex_);
  if (ending_) return false;
  const std::size_t startable = started_.size() + 1 < threads_ ? 1 : 0;
  return queue_.size() < idle_ + startable;
}

void WalkPool::submit(std::shared_ptr<Task> task) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(task));
  // Once the pool ends (the walk is unwinding), its threads only finish what was handed over.
  if (!ending_ && idle_ < queue_.size() && started_.size() + 1 < threads_) {
    try {
      started_.emplace_back(&WalkPool::work, this);
    } catch (const std::system_error&) {
      // No thread to be had: whoever waits for the part walks it.
    }
  }
  changed_.notify_all();
}

void WalkPool::await(Task& task) {
  std::unique_lock lock(mutex_);
  if (task.state_ == Task::State::queued) {
    queue_.erase(std::find_if(queue_.begin(), queue_.end(),
                              [&](const std::shared_ptr<Task>& queued) { return queued.get() == &task; }));
    task.state_ = Task::State::running;
    lock.unlock();
    runHere(task);
    lock.lock();
    task.state_ = Task::State::done;
    changed_.notify_all();
  } else {
    // Another thread walks it: meanwhile this one takes up what others hand over.
    while (task.state_ != Task::State::done) {
      const bool mayHelp = t_depth <= kMaxNesting;
      if (mayHelp && !queue_.empty()) {
        runQueued(lock);
        continue;
      }
      if (mayHelp) ++idle_;
      changed_.wait(lock);
      if (mayHelp) --idle_;
    }
  }
  if (task.thrown_) std::rethrow_exception(task.thrown_);
}

void WalkPool::failedAt(const WalkPosition& position) {
  std::lock_guard lock(mutex_);
  if (!firstFailure_ || position < *firstFailure_) firstFailure_ = position;
  failed_ = true;
}

bool WalkPool::stoppedBefore(const WalkPosition& position) {
  if (!failed_.load()) return false;
  std::lock_guard lock(mutex_);
  return *firstFailure_ < position;
}

void WalkPool::work() {
  const FaultTranslatorScope faults(translator_);
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    changed_.wait(lock, [&] { return ending_ || !queue_.empty(); });
    --idle_;
    if (queue_.empty()) return;
    runQueued(lock);
  }
}

void WalkPool::runQueued(std::unique_lock<std::mutex>& lock) {
  std::shared_ptr<Task> task = std::move(queue_.front());
  queue_.pop_front();
  task->state_ = Task::State::running;
  lock.unlock();
  runHere(*task);
  lock.lock();
  task->state_ = Task::State::done;
  changed_.notify_all();
}

void WalkPool::runHere(Task& task) {
  ++t_depth;
  try {
    task.run();
  } catch (...) {
    task.thrown_ = std::current_exception();
  }
  --t_depth;
}

} // namespace os::posix
