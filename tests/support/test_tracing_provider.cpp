// A tracing provider for tests: every call is appended as one line to the file named by the
// environment variable TAVRIX_TRACE_FILE ("tracer", "span <name> <line> <parent>",
// "tag <name> <tag>=<value>", "failed <name> <text>", "close <name>", "inject"). Spans are active.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/log/tracing_provider_abi.h"

namespace {

void record(const std::string& line) {
  const char* path = std::getenv("TAVRIX_TRACE_FILE");
  if (!path) return;
  if (FILE* file = std::fopen(path, "a")) {
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
  }
}

// Standard layout with the interface first, so the interface's address is the span's.
struct Span {
  OpenTracingSpan base;
  std::string* name;
};

const std::string& nameOf(OpenTracingSpan* span) { return *reinterpret_cast<Span*>(span)->name; }

const OpenTracingSpanFunctions kSpanFunctions = {
    [](OpenTracingSpan* span) {
      record("close " + nameOf(span));
      delete reinterpret_cast<Span*>(span)->name;
      delete reinterpret_cast<Span*>(span);
    },
    [](OpenTracingSpan*) { return 1; },
    [](OpenTracingSpan* span, const char* text) { record("failed " + nameOf(span) + " " + text); },
    [](OpenTracingSpan* span, const char* name, const char* value) {
      record("tag " + nameOf(span) + " " + name + "=" + value);
    },
};

const OpenTracingTracerFunctions kTracerFunctions = {
    [](OpenTracingTracer* tracer) { delete tracer; },
};

} // namespace

extern "C" {

OpenTracingTracer* OpenTracingProviderGetTracer() {
  record("tracer");
  return new OpenTracingTracer{&kTracerFunctions};
}

OpenTracingSpan* OpenTracingProviderGetSpanContext(OpenTracingTracer**, const char* name, int32_t line,
                                                   const char* parent) {
  record("span " + std::string(name) + " " + std::to_string(line) + " " + parent);
  return &(new Span{{&kSpanFunctions}, new std::string(name)})->base;
}

int OpenTracingProviderInjectCurrentSpan(OpenTracingTracer**) {
  record("inject");
  return 0;
}
}
