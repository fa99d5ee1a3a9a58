// How the security model reports failures.
//
// The model makes no OS call, so the text of a Win32 code (the host's own message) is not its to
// give. An operating-system failure of the model (an invalid SID, ACL or parameter) is a
// SecurityModelError: the code and what was attempted, in the model's own words. runtime/security,
// which owns the system's messages, turns it into the system's OS error where the model's work
// leaves that layer (runtime/security/model_failures.h). Plain failures (no code) are vexceptions.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/core/exception.h"

namespace RunTime {

// An OS failure of the model: the code, what was attempted ("where") and the message
// "(Error code N) at <where>", with the context of the operation that failed.
class SecurityModelError : public vexception {
public:
  SecurityModelError(std::u16string where, std::uint32_t code, ExceptionContext context);
  std::uint32_t code() const { return code_; }
  const std::u16string& where() const { return where_; }

private:
  std::u16string where_;
  std::uint32_t code_;
};

// Throws the SecurityModelError of `code` and `where` with the context.
[[noreturn]] void raiseOsFailure(const std::u16string& where, std::uint32_t code,
                                 ExceptionContext context);

// Throws a plain vexception with the message and the context.
[[noreturn]] void raiseFailure(std::u16string message, ExceptionContext context);

// The decimal form of a number, for messages such as "Unable to get ACL ACE (%d)".
std::u16string decimal(std::int64_t value);

} // namespace RunTime
