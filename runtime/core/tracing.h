// The tracing span that every guarded operation opens. Spans are inert until a higher layer
// installs a span source (the tracing provider driver) at start-up.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace tracing {

class SpanDriver {
public:
  virtual ~SpanDriver() = default;
  virtual bool isActive() const = 0;
  virtual void setFailed(std::string_view text) = 0;
  virtual void setTag(std::string_view name, std::string_view value) = 0;
};

// Makes the driver of a new span for an operation (its name, source line and parent text); null
// means an inert span. May throw: the operation that wanted the span then fails.
using SpanSource = std::unique_ptr<SpanDriver> (*)(const char* operationName, std::int32_t line,
                                                   const char* parent);

void installSpanSource(SpanSource source);

// One span; inert until opened, closed when destroyed.
class Span {
public:
  Span() = default;

  // Opens the span through the installed source; throws what the source throws, leaving the
  // span inert.
  void open(const char* operationName, std::int32_t line, const char* parent = "");

  bool isActive() const { return driver_ && driver_->isActive(); }
  void setTag(std::string_view name, std::string_view value) {
    if (driver_) driver_->setTag(name, value);
  }
  void setFailed(std::string_view text) {
    if (driver_) driver_->setFailed(text);
  }

private:
  std::unique_ptr<SpanDriver> driver_;
};

} // namespace tracing
