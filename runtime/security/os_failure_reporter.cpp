// The security model's OS failures raised as the system's: the exception class of the code and
// the host's message for it.
#include "runtime/core/exception.h"
#include "runtime/security/model/failure.h"

namespace {

void throwSystemError(const std::u16string& where, std::uint32_t code, ExceptionContext context) {
  throwOSError(where, code, std::move(context));
}

const bool installed = (RunTime::installOsFailureReporter(&throwSystemError), true);

} // namespace
