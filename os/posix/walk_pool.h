// The threads that walk parts of one tree at once, and what keeps their results those of one walk.
//
// A walk hands a subtree over to the pool as a task; any thread of the pool, or the thread that
// waits for it when none took it yet, walks it. The threads are started when subtrees are handed
// over, by the walk's own thread or by threads it started, so they all act with its credentials
// (Linux gives a new thread those of the thread that creates it: a copy made as a site user is
// made as that user on every thread), and they end with the walk.
//
// Order. Every step of a walk has a position in the order one thread would have taken it: a
// task's steps before its first hand-over, then the subtree handed over, then its steps up to the
// next hand-over, and so on. A position is a list of numbers compared as words are: a task's own
// steps are its position with an even number appended (twice the hand-overs made so far), the
// subtree handed over as its i-th is its position with 2i+1 appended. A failure is recorded at its
// position; a task stops once a failure lies before where it is, and the one failure reported is
// the first in that order, which is the one a single thread would have stopped at. What a walk
// finds is sorted by position when the parts come together, so that it is listed as one thread
// would have listed it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "os/fault.h"

namespace os::posix {

using WalkPosition = std::vector<std::uint32_t>;

class WalkPool {
public:
  // A part of a walk handed over.
  class Task {
  public:
    virtual ~Task() = default;
    // Walks the part; what it throws is kept and thrown again to whoever waits for it.
    virtual void run() = 0;

  private:
    friend class WalkPool;
    enum class State { queued, running, done };
    State state_ = State::queued;
    std::exception_ptr thrown_;
  };

  // How many threads a walk uses: TAVRIX_WALK_THREADS when it is set to 1 to 8, else as many as
  // the host has cores, at most 8.
  static std::size_t configuredThreads();

  // The pool of a walk with `threads` threads in all (the walk's own included); none is started
  // before the walk has entered enough directories not to be a small tree. A fault on one of its
  // threads is translated as it would be on the thread that makes the pool, and thrown again to
  // whoever waits for the part.
  explicit WalkPool(std::size_t threads)
      : threads_(threads), translator_(currentFaultTranslator()) {}
  ~WalkPool();
  WalkPool(const WalkPool&) = delete;
  WalkPool& operator=(const WalkPool&) = delete;

  // Counts a directory entered by any thread of the walk.
  void entered() { ++directories_; }
  // Whether a subtree handed over now would be taken up by a thread that has nothing to do (or
  // only waits for a part), and the thread asking may hand one over (a thread already running
  // parts one inside another goes on alone, so that they never nest deeper than a few on one
  // thread's stack).
  bool wantsWork();
  void submit(std::shared_ptr<Task> task);
  // Waits until the task has run, running it on this thread when no thread has taken it yet,
  // and running other tasks handed over meanwhile; throws again what it threw.
  void await(Task& task);

  // A failure at this position: the steps after it need not be taken.
  void failedAt(const WalkPosition& position);
  // Whether any failure was recorded (without the lock, so that a walk can ask at every step).
  bool anyFailure() const { return failed_.load(); }
  // Whether a failure was recorded before this position.
  bool stoppedBefore(const WalkPosition& position);

private:
  static constexpr std::size_t kSmallTree = 16;  // directories a walk enters before it shares
  static constexpr int kMaxNesting = 1; // parts a waiting thread runs, one inside another

  void work();
  // Takes the first queued task and runs it here (the lock is held before and after).
  void runQueued(std::unique_lock<std::mutex>& lock);
  void runHere(Task& task);

  const std::size_t threads_;
  const FaultTranslator translator_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Task>> queue_;
  std::vector<std::thread> started_;
  std::size_t idle_ = 0;
  bool ending_ = false;
  std::atomic<std::size_t> directories_{0};
  std::atomic<bool> failed_{false}; // spares the lock while nothing has failed
  std::optional<WalkPosition> firstFailure_;
};

} // namespace os::posix
