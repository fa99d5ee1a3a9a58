/* The binary interface between tavrix and a tracing provider library ("opentracingprovider.so"
 * beside the executable). Plain C, so a provider can be written in any language that exports C
 * functions. Objects are structs whose first member points to a table of functions, the first
 * of which destroys the object. Texts are NUL-terminated 8-bit strings. A working provider's
 * functions do not fail. */
#ifndef TAVRIX_TRACING_PROVIDER_ABI_H
#define TAVRIX_TRACING_PROVIDER_ABI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OpenTracingSpan OpenTracingSpan;
typedef struct OpenTracingTracer OpenTracingTracer;

typedef struct OpenTracingSpanFunctions {
  /* Closes the span and frees it. */
  void (*destroy)(OpenTracingSpan* span);
  /* Non-zero when tags on this span are recorded. */
  int (*isActive)(OpenTracingSpan* span);
  /* Marks the span failed with a text. */
  void (*setFailed)(OpenTracingSpan* span, const char* text);
  void (*setTag)(OpenTracingSpan* span, const char* name, const char* value);
} OpenTracingSpanFunctions;

struct OpenTracingSpan {
  const OpenTracingSpanFunctions* functions;
};

typedef struct OpenTracingTracerFunctions {
  void (*destroy)(OpenTracingTracer* tracer);
} OpenTracingTracerFunctions;

struct OpenTracingTracer {
  const OpenTracingTracerFunctions* functions;
};

/* The three exported entry points. The tracer and the spans belong to the caller. */
typedef OpenTracingTracer* (*OpenTracingProviderGetTracerFunction)(void);
typedef OpenTracingSpan* (*OpenTracingProviderGetSpanContextFunction)(OpenTracingTracer** tracer,
                                                                      const char* operationName,
                                                                      int32_t line,
                                                                      const char* parent);
typedef int (*OpenTracingProviderInjectCurrentSpanFunction)(OpenTracingTracer** tracer);

#ifdef __cplusplus
}
#endif

#endif
