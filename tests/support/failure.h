// What a call threw: the one way tests read a failure's message, OS code and context.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "runtime/core/exception.h"
#include "tests/support/testing.h"

namespace testing_support {

struct Failure {
  std::string message;    // empty when the call did not throw
  std::uint32_t code = 0; // 0 for a vexception that is not an OS error
  std::string context;    // the first context's function
};

// Runs the action and returns what it threw (an empty message when it did not throw).
inline Failure failureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const vosexception& e) {
    return {u8(e.message()), e.code(), e.contexts().empty() ? "" : e.contexts()[0].function};
  } catch (const vexception& e) {
    return {u8(e.message()), 0, e.contexts().empty() ? "" : e.contexts()[0].function};
  }
  return {};
}

} // namespace testing_support
