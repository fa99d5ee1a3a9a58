// The tracing span that every guarded operation opens. Spans are inert until a higher layer
// installs a span source (the tracing provider driver) at start-up.
#pragma once

#include <memory>
#include <string_view>

namespace tracing {

class SpanDriver {
public:
  virtual ~SpanDriver() = default;
  virtual bool isActive() const = 0;
  virtual void setTag(std::string_view name, std::string_view value) = 0;
  virtual void setFailed(std::string_view text) = 0;
};

// Makes the driver of a new span named after an operation; null means an inert span.
using SpanSource = std::unique_ptr<SpanDriver> (*)(const char* operationName);

void installSpanSource(SpanSource source);

// One open span; closed when destroyed.
class Span {
public:
  explicit Span(const char* operationName);

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
