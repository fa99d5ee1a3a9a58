// The messages this layer logs. The log manager lives in a higher layer; it installs itself as
// the sink when it is created, and until then the messages go nowhere.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "runtime/core/format.h"

namespace corelog {

// The log manager's levels that this layer uses.
inline constexpr int levelInfo = 0;
inline constexpr int levelWarning = 1;

class LogSink {
public:
  virtual ~LogSink() = default;
  virtual void write(int level, const std::u16string& text) noexcept = 0;
};

// Installs the sink (null: none); it must live until it is replaced.
void installLogSink(LogSink* sink);

void logText(int level, const std::u16string& text) noexcept;

// Logs a formatted text; a format that does not match its arguments logs nothing.
template <class... Args>
void log(int level, std::u16string_view format, const Args&... args) noexcept {
  try {
    if (std::optional<std::u16string> text = tryFormat(format, {FormatArg(args)...})) logText(level, *text);
  } catch (...) {
  }
}

} // namespace corelog
