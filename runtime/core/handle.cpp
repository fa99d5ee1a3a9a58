#include "runtime/core/handle.h"

#include "os/sync.h"
#include "runtime/core/exception.h"

namespace RunTime {

AutoHandle AutoHandle::duplicateHandle(os::NativeHandle handle) {
  os::Result<os::Handle> copy = os::duplicateHandle(handle);
  if (!copy.ok())
    throwOSError(u"Unable to duplicate handle", copy.code(), VCONTEXT("RunTime::AutoHandle::duplicateHandle"));
  return AutoHandle(std::move(copy.value()));
}

} // namespace RunTime
