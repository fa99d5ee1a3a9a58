// The messages this layer logs. The log manager lives in a higher layer; it installs itself as
// the sink when it is created, and until then the messages go nowhere.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "runtime/core/cancelation.h"
#include "runtime/core/format.h"

namespace corelog {

// The levels of the log, by the values every caller passes; the log manager writes them as
// "Info", "Warning", "Result", "Error", "Unexpected" and "Crash". Defined here once, for this
// layer and the log manager, and not named LOG_INFO ...: <syslog.h> defines those as macros.
enum Level : int {
  levelInfo = 0,
  levelWarning = 1,
  levelResult = 2,
  levelError = 3,
  levelUnexpected = 4,
  levelCrash = 5,
};

// Where the messages go. write drops its own failures; only a cancellation of the calling thread
// (ThreadCancelation::ThreadCanceled) leaves it.
class LogSink {
public:
  virtual ~LogSink() = default;
  virtual void write(int level, const std::u16string& text) = 0;
};

// Installs the sink (null: none); it must live until it is replaced.
void installLogSink(LogSink* sink);

// Hands the text to the sink; throws only what the sink's write throws.
void logText(int level, const std::u16string& text);

// Logs a formatted text; a format that does not match its arguments logs nothing. Throws only a
// cancellation of the calling thread.
template <class... Args>
void log(int level, std::u16string_view format, const Args&... args) {
  try {
    if (std::optional<std::u16string> text = tryFormat(format, {FormatArg(args)...})) logText(level, *text);
  } catch (const ThreadCancelation::ThreadCanceled&) {
    throw;
  } catch (...) {
    // Logging never fails its caller.
  }
}

} // namespace corelog
