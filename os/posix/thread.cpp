#include "os/thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>

#include "os/posix/apc.h"
#include "os/posix/errno_map.h"
#include "os/posix/fd.h"

namespace os {

// The queue's eventfd is readable exactly while calls are queued: queueing signals it and the
// consumer clears it, both under the queue's lock, when it finds the queue empty.
class ApcQueue {
public:
  explicit ApcQueue(posix::Fd fd) : fd_(std::move(fd)) {}

  int descriptor() const { return fd_.get(); }

  std::uint32_t push(std::function<void()> call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    const std::uint64_t one = 1;
    if (::write(fd_.get(), &one, sizeof one) < 0 && errno != EAGAIN) {
      calls_.pop_back();
      return posix::win32FromErrno(errno);
    }
    return err::success;
  }

  // The oldest call, or an empty function (and the descriptor cleared) when there is none.
  std::function<void()> pop() {
    std::lock_guard lock(mutex_);
    if (calls_.empty()) {
      std::uint64_t count;
      while (::read(fd_.get(), &count, sizeof count) < 0 && errno == EINTR) {
      }
      return {};
    }
    std::function<void()> call = std::move(calls_.front());
    calls_.pop_front();
    return call;
  }

private:
  posix::Fd fd_;
  std::mutex mutex_;
  std::deque<std::function<void()>> calls_;
};

namespace {
thread_local ThreadRef t_queue;
}

Result<ThreadRef> currentThread() {
  if (!t_queue) {
    posix::Fd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd.valid()) return Result<ThreadRef>::failure(posix::win32FromErrno(errno));
    t_queue = std::make_shared<ApcQueue>(std::move(fd));
  }
  return t_queue;
}

std::uint32_t queueUserApc(const ThreadRef& thread, std::function<void()> call) {
  if (!thread) return err::invalidHandle;
  return thread->push(std::move(call));
}

namespace posix {

Result<int> apcDescriptor() {
  Result<ThreadRef> queue = currentThread();
  if (!queue.ok()) return queue.error();
  return queue.value()->descriptor();
}

bool runQueuedApcs() {
  bool ran = false;
  if (!t_queue) return ran;
  // Hold a reference: a call may end the thread's use of the queue.
  ThreadRef queue = t_queue;
  while (std::function<void()> call = queue->pop()) {
    ran = true;
    call();
  }
  return ran;
}

} // namespace posix
} // namespace os
