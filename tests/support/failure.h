// What a call threw: the one way tests read a failure's message, OS code and contexts.
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
  std::string calls;      // the contexts' messages that are not empty, innermost first, "\nat " before each
};

// Runs the action and returns what it threw (an empty message when it did not throw).
inline Failure failureOf(const std::function<void()>& action) {
  const auto read = [](const vexception& e, std::uint32_t code) {
    Failure f{u8(e.message()), code, e.contexts().empty() ? "" : e.contexts()[0].function, ""};
    for (const ExceptionContext& context : e.contexts())
      if (!context.message.empty()) f.calls += "\nat " + u8(context.message);
    return f;
  };
  try {
    action();
  } catch (const vosexception& e) {
    return read(e, e.code());
  } catch (const vexception& e) {
    return read(e, 0);
  }
  return {};
}

} // namespace testing_support
