#include "runtime/core/cancelation.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "os/process.h"
#include "os/sync.h"
#include "runtime/core/exception.h"
#include "runtime/core/log_sink.h"

namespace ThreadCancelation {

// A point's request, shared with the APC that performs it (which may run after the point ended).
struct CancelationPoint::State {
  std::uint32_t threadId = 0;
  bool requested = false;
  bool done = false;
};

namespace {

// The process's registry: its critical section and the live points by thread. It is made on
// first use and never destroyed, so that threads still running while the process exits can use
// it. (Its set-up needs no named mutex: a mutex named after our own process id is private to
// the process, and a process-local one-time initialisation serves without the run directory.)
struct Registry {
  std::mutex mutex;
  std::unordered_map<std::uint32_t, std::vector<CancelationPoint*>> points;
};

Registry& registry() {
  static Registry* const registry = new Registry;
  return *registry;
}

thread_local CancelationPoint* t_current = nullptr;

// Marks the request done; false when it already was.
bool claim(CancelationPoint::State& state) {
  std::lock_guard lock(registry().mutex);
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
    : state_(std::make_shared<State>()), previous_(t_current), mode_(mode),
      exceptionsAtCreation_(std::uncaught_exceptions()) {
  Registry& points = registry();
  state_->threadId = os::threadId();
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

CancelationPoint::~CancelationPoint() noexcept(false) {
  bool pending;
  {
    std::lock_guard lock(registry().mutex);
    auto found = registry().points.find(state_->threadId);
    std::vector<CancelationPoint*>& mine = found->second;
    mine.erase(std::find(mine.begin(), mine.end(), this));
    if (mine.empty()) registry().points.erase(found);
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

bool cancelThread(std::uint32_t threadId) {
  std::lock_guard lock(registry().mutex);
  auto found = registry().points.find(threadId);
  if (found == registry().points.end()) return false;
  for (CancelationPoint* point : found->second) point->requestLocked();
  return true;
}

} // namespace ThreadCancelation
