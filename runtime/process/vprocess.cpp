#include "runtime/process/vprocess.h"

#include "os/exit_code.h"
#include "runtime/core/exception.h"
#include "runtime/pipe/overlapped.h"

std::uint32_t VProcess::getExitCode(os::NativeHandle process) {
  // A process handle is a descriptor that becomes readable when the process ends: the readiness
  // record of the pipes waits for it as for a pipe.
  RunTime::Overlapped ended("VProcess::getExitCode");
  ended.bind(process, "VProcess::getExitCode");
  (void)ended.waitForSingleObject(os::INFINITE_WAIT);
  os::Result<std::uint32_t> code = os::exitCodeOf(process);
  if (!code.ok()) throwOSError(u"GetExitCodeProcess", code.code(), VCONTEXT("VProcess::getExitCode"));
  return code.value();
}
