// The tracing hook. While the product configuration's DWORD "opentracing_enabled" is 0 or absent
// every span is inert and nothing is loaded. Otherwise the provider library
// "opentracingprovider.so" beside the executable is loaded on the first span, and its tracer
// makes the spans (tracing_provider_abi.h). All calls into the provider, from every thread, pass
// through the driver's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "runtime/core/library.h"
#include "runtime/core/tracing.h"
#include "runtime/log/tracing_provider_abi.h"

// The span of a disabled driver: never active, records nothing.
class OpenTracingSpanContextNone : public tracing::SpanDriver {
public:
  bool isActive() const override { return false; }
  void setFailed(std::string_view) override {}
  void setTag(std::string_view, std::string_view) override {}
};

class OpenTracingDriver {
public:
  using ISpanContextProvider = tracing::SpanDriver;

  // The process's driver, created on first use; creating it decides whether tracing is on
  // (creating the product configuration key when it is absent, which throws on failure).
  static OpenTracingDriver& instance();
  // Makes StartSpan the span source of every guarded operation.
  static void install();

  OpenTracingDriver(const OpenTracingDriver&) = delete;
  OpenTracingDriver& operator=(const OpenTracingDriver&) = delete;
  ~OpenTracingDriver();

  bool enabled() const { return enabled_; }

  // A new span: inert when tracing is off, else the provider's (loading the provider first;
  // throws "Unable to load library (<path>)" when it cannot be loaded).
  std::unique_ptr<ISpanContextProvider> StartSpan(const std::string& name, std::int32_t line,
                                                  const std::string& parent);
  // Lets the provider hand the current span to a child process about to start; does nothing
  // unless tracing is on and the provider and its tracer exist.
  void injectCurrentSpan();

private:
  OpenTracingDriver();
  void load();

  bool enabled_;
  std::mutex mutex_;
  std::optional<RunTime::LibraryPtr> library_;
  OpenTracingProviderGetTracerFunction getTracer_ = nullptr;
  OpenTracingProviderGetSpanContextFunction getSpanContext_ = nullptr;
  OpenTracingProviderInjectCurrentSpanFunction injectCurrentSpan_ = nullptr;
  OpenTracingTracer* tracer_ = nullptr;
};
