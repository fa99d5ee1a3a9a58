// The guard around every operation that names itself in error reports: it opens a tracing span
// and a cancellation point, and turns any exception that leaves the body into a vexception
// carrying one more context.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "runtime/core/cancelation.h"
#include "runtime/core/exception.h"
#include "runtime/core/tracing.h"

namespace guard_detail {
// Called inside a catch block: tags the span with the kind and text of the exception in flight,
// marks the span failed and throws it on as a vexception with the context appended (a vexception
// keeps its class; anything else becomes a new vexception).
[[noreturn]] void translateCurrentException(tracing::Span& span, ExceptionContext context);
} // namespace guard_detail

// Runs body() (or body(span) when it takes the span) in a span named `function` and a
// synchronous cancellation point. On failure (opening the span included) the context has the
// message describe() (for example "Unable to call recyclerPath(%s)" filled in), the function
// name and `line`. A thread's cancellation passes untouched.
template <class Describe, class Body>
decltype(auto) guarded(const char* function, std::int32_t line, Describe&& describe, Body&& body) {
  tracing::Span span;
  try {
    span.open(function, line);
    ThreadCancelation::CancelationPoint point(ThreadCancelation::SYNCHRONOUS);
    if constexpr (std::is_invocable_v<Body, tracing::Span&>)
      return body(span);
    else
      return body();
  } catch (const ThreadCancelation::ThreadCanceled&) {
    throw;
  } catch (...) {
    guard_detail::translateCurrentException(span, ExceptionContext(describe(), function, line));
  }
}
