#include "runtime/core/cancelation.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "os/named_mutex.h"
#include "os/process.h"
#include "os/sync.h"
#include "runtime/core/exception.h"
#include "runtime/core/exclusive_task.h"
#include "runtime/core/log_sink.h"

namespace ThreadCancelation {

// A point's request, shared with the APC that performs it (which may run after the point ended).
struct CancelationPoint::State {
  std::uint32_t threadId = 0;
  bool requested = false;
  bool done = false;
};

namespace {

// The process's registry: its critical section and the live points by thread. It is never
// destroyed, so that threads still running while the process exits can use it.
struct Registry {
  std::mutex mutex;
  std::unordered_map<std::uint32_t, std::vector<CancelationPoint*>> points;
};

Registry& storage() {
  static Registry* const registry = new Registry;
  return *registry;
}

std::atomic<bool> g_setUp{false};
thread_local bool t_settingUp = false;
thread_local CancelationPoint* t_current = nullptr;

std::u16string setUpMutexName() {
  std::string pid = std::to_string(os::processId());
  return u"{D660A9E0-ED82-4a76-A607-E7B8471B868E}:" + std::u16string(pid.begin(), pid.end());
}

// The set-up runs once per process under the per-process named mutex. Points that the set-up
// itself creates on this thread (through guarded operations) skip it rather than deadlock.
Registry& registry() {
  if (g_setUp.load(std::memory_order_acquire) || t_settingUp) return storage();
  t_settingUp = true;
  try {
    const std::u16string name = setUpMutexName();
    ExclusiveTask task;
    task.Initialize(name, os::INFINITE_WAIT);
    g_setUp.store(true, std::memory_order_release);
    // The name holds our process id: nobody else will open it, so its lock file can go.
    (void)os::removeNamedMutex(runDirectory(), name);
  } catch (...) {
    t_settingUp = false;
    throw;
  }
  t_settingUp = false;
  return storage();
}

// Marks the request done; false when it already was.
bool claim(CancelationPoint::State& state) {
  std::lock_guard lock(storage().mutex);
  if (state.done) return false;
  state.done = true;
  return true;
}

[[noreturn]] void performCancellation(const CancelationPoint::State& state) {
  corelog::log(corelog::levelInfo, u"Thread #%d is going to be canceled!", state.threadId);
  throw ThreadCanceled();
}

} // namespace

CancelationPoint::CancelationPoint(int mode)
    : state_(std::make_shared<State>()), previous_(t_current),
      exceptionsAtCreation_(std::uncaught_exceptions()) {
  Registry& points = registry();
  state_->threadId = os::threadId();
  mode_ = previous_ && previous_->mode_ == INHERITED ? INHERITED : mode;
  if (mode_ == ASYNCHRONOUS) {
    os::Result<os::ThreadRef> thread = os::currentThread();
    if (!thread.ok())
      throwOSError(u"Unable to duplicate handle", thread.code(),
                   VCONTEXT("RunTime::AutoHandle::duplicateHandle"));
    thread_ = thread.value();
  }
  std::lock_guard lock(points.mutex);
  if (previous_ && previous_->state_->requested && !previous_->state_->done) requestLocked();
  points.points[state_->threadId].push_back(this);
  t_current = this;
}

void CancelationPoint::requestLocked() {
  if (state_->requested) return;
  state_->requested = true;
  if (mode_ != ASYNCHRONOUS) return;
  std::shared_ptr<State> state = state_;
  auto perform = [state] {
    if (claim(*state)) performCancellation(*state);
  };
  if (std::uint32_t rc = os::queueUserApc(thread_, perform))
    throwOSError(u"Unable to queue asynchronous cancel", rc,
                 VCONTEXT("ThreadCancelation::AsyncCancelationPoint::cancel"));
}

void CancelationPoint::cancel() {
  std::lock_guard lock(storage().mutex);
  requestLocked();
}

CancelationPoint::~CancelationPoint() noexcept(false) {
  bool pending;
  {
    std::lock_guard lock(storage().mutex);
    auto found = storage().points.find(state_->threadId);
    std::vector<CancelationPoint*>& mine = found->second;
    mine.erase(std::find(mine.begin(), mine.end(), this));
    if (mine.empty()) storage().points.erase(found);
    pending = state_->requested && !state_->done;
    if (pending) {
      state_->done = true;
      // An exception is already leaving this point: let it go on and leave the request to the
      // enclosing point.
      if (std::uncaught_exceptions() > exceptionsAtCreation_) {
        pending = false;
        try {
          if (previous_) previous_->requestLocked();
        } catch (const vexception&) {
          // Only queueing the enclosing point's APC can fail; its destructor still performs it.
        }
      }
    }
  }
  thread_.reset();
  t_current = previous_;
  if (pending) performCancellation(*state_);
}

const CancelationPoint* CancelationPoint::current() { return t_current; }

void ensureRegistry() { (void)registry(); }

bool cancelThread(std::uint32_t threadId) {
  std::lock_guard lock(storage().mutex);
  auto found = storage().points.find(threadId);
  if (found == storage().points.end()) return false;
  for (CancelationPoint* point : found->second) point->requestLocked();
  return true;
}

} // namespace ThreadCancelation
