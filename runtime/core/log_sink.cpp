#include "runtime/core/log_sink.h"

#include <atomic>

namespace corelog {
namespace {
std::atomic<LogSink*> g_sink{nullptr};
}

void installLogSink(LogSink* sink) { g_sink.store(sink); }

void logText(int level, const std::u16string& text) {
  if (LogSink* sink = g_sink.load()) sink->write(level, text);
}

} // namespace corelog
