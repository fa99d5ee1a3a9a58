#include "runtime/core/tracing.h"

#include <atomic>

namespace tracing {
namespace {
std::atomic<SpanSource> g_source{nullptr};
}

void installSpanSource(SpanSource source) { g_source.store(source); }

void Span::open(const char* operationName, std::int32_t line, const char* parent) {
  if (SpanSource source = g_source.load()) driver_ = source(operationName, line, parent);
}

} // namespace tracing
