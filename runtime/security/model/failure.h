// How the security model reports failures.
//
// The model makes no OS call, so the text of a Win32 code (the host's own message) is not its to
// give. An operating-system failure of the model (an invalid SID, ACL or parameter) goes through a
// reporter; the system part (runtime/security) installs one that throws the OS error with the
// system's message, and every program that links the system part has it installed before main.
// Without one, as in a program that links only the model, the model throws SecurityModelError.
// Plain failures (no code) are vexceptions either way.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/core/exception.h"

namespace RunTime {

// What the model throws for an OS failure when no reporter is installed: the message
// "(Error code N) at <where>" and the code.
class SecurityModelError : public vexception {
public:
  SecurityModelError(std::u16string message, std::uint32_t code)
      : vexception(std::move(message)), code_(code) {}
  std::uint32_t code() const { return code_; }

private:
  std::uint32_t code_;
};

// Throws the OS error of `code` with " at <where>" and the context; must not return.
using OsFailureReporter = void (*)(const std::u16string& where, std::uint32_t code,
                                   ExceptionContext context);

// Installs the reporter (null: the model's own). Safe from any thread.
void installOsFailureReporter(OsFailureReporter reporter);

[[noreturn]] void raiseOsFailure(const std::u16string& where, std::uint32_t code,
                                 ExceptionContext context);

// Throws a plain vexception with the message and the context.
[[noreturn]] void raiseFailure(std::u16string message, ExceptionContext context);

// The decimal form of a number, for messages such as "Unable to get ACL ACE (%d)".
std::u16string decimal(std::int64_t value);

} // namespace RunTime
