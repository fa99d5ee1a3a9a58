#include "runtime/core/sync.h"

#include <chrono>
#include <vector>

#include "os/deadline.h"
#include "runtime/core/cancelation.h"
#include "runtime/core/exception.h"
#include "runtime/core/exclusive_task.h"

namespace {

// An alertable wait that is an asynchronous cancellation point for its whole duration. After
// APCs ran it waits again for what is left of the timeout, so they never make the total longer.
os::Result<std::uint32_t> alertableWait(std::span<os::SyncObject* const> objects, bool waitAll,
                                        std::uint32_t timeoutMs) {
  ThreadCancelation::CancelationPoint point(ThreadCancelation::ASYNCHRONOUS);
  const os::Deadline deadline(timeoutMs);
  for (;;) {
    os::Result<std::uint32_t> result = os::waitForObjects(objects, waitAll, deadline.remainingMs(), true);
    if (!result.ok() || result.value() != os::WAIT_IO_COMPLETION) return result;
  }
}

// The error text of a failed creation: "<what>" or "<what> with name '<name>'".
std::u16string creationText(std::u16string_view what, std::u16string_view name) {
  std::u16string text(what);
  if (!name.empty()) text += u" with name '" + std::u16string(name) + u"'";
  return text;
}

} // namespace

std::uint32_t VSyncObject::waitForSingleObject(std::uint32_t timeoutMs) {
  os::SyncObject* object = &handle_;
  os::Result<std::uint32_t> result = alertableWait({&object, 1}, false, timeoutMs);
  if (!result.ok())
    throwOSError(u"Wait for single object", result.code(), VCONTEXT("VSyncObject::waitForSingleObject"));
  return result.value();
}

bool VSyncObject::lock(std::uint32_t timeoutMs) {
  std::uint32_t result = waitForSingleObject(timeoutMs);
  switch (result) {
  case os::WAIT_OBJECT_0:
  case os::WAIT_ABANDONED:
    return true;
  case os::WAIT_TIMEOUT:
  case os::WAIT_IO_COMPLETION:
    return false;
  default:
    throwOSError(u"Lock object", result, VCONTEXT("VSyncObject::lock"));
  }
}

VMutex::VMutex(bool initiallyOwned, std::u16string_view name) {
  os::Result<os::SyncObject> created = name.empty()
                                           ? os::SyncObject::createMutex(initiallyOwned)
                                           : os::SyncObject::openNamedMutex(runDirectory(), name, initiallyOwned);
  if (!created.ok())
    throwOSError(creationText(u"Create mutex", name), created.code(), VCONTEXT("VMutex::VMutex"));
  handle_ = std::move(created.value());
}

void VMutex::unlock() {
  if (std::uint32_t rc = handle_.releaseMutex()) throwOSError(u"ReleaseMutex", rc, VCONTEXT("VMutex::unlock"));
}

VEvent::VEvent(bool manualReset, bool initialState) {
  os::Result<os::SyncObject> created = os::SyncObject::createEvent(manualReset, initialState);
  if (!created.ok()) throwOSError(u"Create event", created.code(), VCONTEXT("VEvent::VEvent"));
  handle_ = std::move(created.value());
}

void VEvent::unlock() {
  if (std::uint32_t rc = handle_.resetEvent()) throwOSError(u"ResetEvent", rc, VCONTEXT("VEvent::unlock"));
}

void VEvent::set() {
  if (std::uint32_t rc = handle_.setEvent()) throwOSError(u"SetEvent", rc, VCONTEXT("VEvent::set"));
}

os::Result<std::uint32_t> waitForMultipleObjects(std::span<VSyncObject* const> objects, bool waitAll,
                                                 std::uint32_t timeoutMs) {
  std::vector<os::SyncObject*> handles;
  for (VSyncObject* object : objects) handles.push_back(object ? &object->handle() : nullptr);
  return alertableWait(handles, waitAll, timeoutMs);
}
