#include "runtime/core/handle.h"

#include "os/sync.h"
#include "runtime/core/exception.h"

namespace RunTime {

AutoHandle& AutoHandle::operator=(AutoHandle&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.release();
  }
  return *this;
}

void AutoHandle::close() {
  if (valid()) os::closeHandle(handle_);
  handle_ = none;
}

int AutoHandle::release() {
  int handle = handle_;
  handle_ = none;
  return handle;
}

AutoHandle AutoHandle::duplicateHandle(int handle) {
  os::Result<int> copy = os::duplicateHandle(handle);
  if (!copy.ok())
    throwOSError(u"Unable to duplicate handle", copy.code(), VCONTEXT("RunTime::AutoHandle::duplicateHandle"));
  return AutoHandle(copy.value());
}

} // namespace RunTime
