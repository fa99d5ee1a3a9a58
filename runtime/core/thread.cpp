#include "runtime/core/thread.h"

#include <mutex>
#include <thread>

#include "os/process.h"
#include "runtime/core/cancelation.h"
#include "runtime/core/sync.h"

struct VThread::State {
  std::mutex mutex;
  std::uint32_t threadId = 0;
  bool terminated = false;
  std::uint32_t exitCode = STILL_ACTIVE;
  VEvent finished{true, false};
};

namespace {

std::uint32_t runBody(const std::function<std::uint32_t()>& body) {
  try {
    ThreadCancelation::CancelationPoint point(ThreadCancelation::SYNCHRONOUS);
    return body();
  } catch (const ThreadCancelation::ThreadCanceled&) {
    return os::err::operationAborted;
  }
}

void threadMain(const std::shared_ptr<VThread::State>& state, const std::function<std::uint32_t()>& body) {
  bool terminated;
  {
    std::lock_guard lock(state->mutex);
    state->threadId = os::threadId();
    terminated = state->terminated;
  }
  std::uint32_t code = terminated ? 0 : runBody(body);
  std::lock_guard lock(state->mutex);
  if (!state->terminated) state->exitCode = code;
  (void)state->finished.handle().setEvent();
}

} // namespace

VThread::VThread(std::function<std::uint32_t()> body) : state_(std::make_shared<State>()) {
  std::thread(threadMain, state_, std::move(body)).detach();
}

std::uint32_t VThread::exitCode() const {
  std::lock_guard lock(state_->mutex);
  return state_->exitCode;
}

void VThread::terminate(std::uint32_t exitCode) {
  std::lock_guard lock(state_->mutex);
  if (state_->terminated || state_->exitCode != STILL_ACTIVE) return;
  state_->terminated = true;
  state_->exitCode = exitCode;
  if (state_->threadId != 0) ThreadCancelation::cancelThread(state_->threadId);
}

std::uint32_t VThread::waitForSingleObject(std::uint32_t timeoutMs) {
  return state_->finished.waitForSingleObject(timeoutMs);
}
