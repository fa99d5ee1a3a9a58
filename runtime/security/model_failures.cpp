#include "runtime/security/model_failures.h"

namespace RunTime {

void throwSystemError(const SecurityModelError& failure) {
  // The first context is the failed operation's (SecurityModelError always has it); any later
  // ones were added on the way out and stay in their order.
  const std::vector<ExceptionContext>& contexts = failure.contexts();
  try {
    throwOSError(failure.where(), failure.code(), contexts.front());
  } catch (vexception& error) {
    for (std::size_t i = 1; i < contexts.size(); ++i) error.addContext(contexts[i]);
    throw;
  }
}

} // namespace RunTime
