// The process-wide log: every message goes to the sinks its level and the switches select.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/core/log_sink.h"
#include "runtime/log/event_log.h"

// Receives every message after the other sinks.
class LogListener {
public:
  virtual ~LogListener() = default;
  virtual void onException(int level, const vexception& e) = 0;
  virtual void onText(int level, const std::u16string& text) = 0;
};

class LogManager {
public:
  static LogManager& instance();

  // Sets the console and event-log switches to their defaults: the console prints Result and
  // above; the event log takes Error and above, and everything while debug logging is on.
  void resetSwitches();

  // While recording is off, messages reach the console and the listeners only: no log file is
  // written and nothing goes to the event log (nor registers its source). On by default; the
  // console frame turns it off until a command that will act has been recognised.
  void setRecording(bool on) { recording_ = on; }

  // Logging never fails its caller: each sink drops its own failures. What leaves a log call is
  // a cancellation of the calling thread (ThreadCancelation::ThreadCanceled, from the wait for
  // the log file's mutex, say), which ends the thread like anywhere else, or a failure to
  // allocate the text.

  // Logs a formatted text (levels: corelog::Level); a format that does not match its arguments
  // logs nothing.
  template <class... Args>
  void log(int level, std::u16string_view format, const Args&... args) {
    std::optional<std::u16string> text = tryFormat(format, {FormatArg(args)...});
    if (text) logText(level, *text);
  }
  void logText(int level, const std::u16string& text);
  // Logs the full text of an exception (its logged text in the log file and the event log);
  // listeners receive the exception itself.
  void logException(int level, const vexception& e);

  void addListener(std::shared_ptr<LogListener> listener);

  // The product's "Debug" switch, read on the first query and again on every sixteenth (a
  // missing value keeps the last one, initially off).
  bool debugEnabled();

  // "Info", "Warning", "Result", "Error", "Unexpected", "Crash" or "Unknown level".
  static std::u16string levelWord(int level);

private:
  LogManager();
  // `shown` goes to the console, `logged` to the log file and the event log.
  void dispatch(int level, const std::u16string& shown, const std::u16string& logged, const vexception* e);
  void printConsole(const std::u16string& text);

  static constexpr int kLevels = corelog::levelCrash + 1;
  // Guards the switches, the console state and the listeners.
  std::mutex mutex_;
  std::array<bool, kLevels> console_{};
  std::array<bool, kLevels> eventLog_{};
  EventLog eventLogSink_;
  bool printed_ = false;
  std::vector<std::shared_ptr<LogListener>> listeners_;
  std::atomic<unsigned> debugQueries_{0};
  std::atomic<bool> debug_{false};
  std::atomic<bool> recording_{true};
};
