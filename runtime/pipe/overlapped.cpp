#include "runtime/pipe/overlapped.h"

#include "os/pipe.h"
#include "runtime/core/exception.h"

namespace RunTime {

Overlapped::Overlapped(const char* context) {
  os::Result<os::SyncObject> event = os::SyncObject::createEvent(true, true);
  if (!event.ok()) throwOSError(u"Unable to create event", event.code(), ExceptionContext(u"", context, __LINE__));
  handle_ = std::move(event.value());
}

void Overlapped::bind(os::NativeHandle pipe, const char* context) {
  os::Result<os::SyncObject> readable = os::pipe::readableObject(pipe);
  if (!readable.ok())
    throwOSError(u"Unable to duplicate handle", readable.code(), ExceptionContext(u"", context, __LINE__));
  handle_ = std::move(readable.value());
  bound_ = true;
}

void Overlapped::unlock() {
  if (bound_) return;
  if (std::uint32_t rc = handle_.resetEvent())
    throwOSError(u"Unable to reset event", rc, VCONTEXT("Con::Overlapped::resert"));
}

} // namespace RunTime
