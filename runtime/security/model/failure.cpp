#include "runtime/security/model/failure.h"

namespace RunTime {

SecurityModelError::SecurityModelError(std::u16string where, std::uint32_t code,
                                       ExceptionContext context)
    : vexception(u"(Error code " + decimal(code) + u") at " + where), where_(std::move(where)),
      code_(code) {
  addContext(std::move(context));
}

void raiseOsFailure(const std::u16string& where, std::uint32_t code, ExceptionContext context) {
  throw SecurityModelError(where, code, std::move(context));
}

void raiseFailure(std::u16string message, ExceptionContext context) {
  vexception error(std::move(message));
  error.addContext(std::move(context));
  throw error;
}

std::u16string decimal(std::int64_t value) {
  std::string text = std::to_string(value);
  return std::u16string(text.begin(), text.end());
}

} // namespace RunTime
