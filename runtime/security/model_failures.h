// The security model's OS failures as the system's. The model reports them in its own terms
// (SecurityModelError: a code and what was attempted); where runtime/security hands the model's
// work on to the layers above, it converts them, so that a caller sees the OS error of the code
// (the exception class the code selects and the host's message), as for any other failure of
// the system.
#pragma once

#include <utility>

#include "runtime/security/model/failure.h"

namespace RunTime {

// Throws the OS error of the failure's code with " at <where>" and the failure's contexts.
[[noreturn]] void throwSystemError(const SecurityModelError& failure);

// What `call` (work done with the model) returns; a failure of the model is thrown as the
// system's OS error.
template <class Call>
decltype(auto) withSystemErrors(Call&& call) {
  try {
    return std::forward<Call>(call)();
  } catch (const SecurityModelError& failure) {
    throwSystemError(failure);
  }
}

} // namespace RunTime
