#include "runtime/log/log_manager.h"

#include "os/console.h"
#include "os/text.h"
#include "runtime/core/cancelation.h"
#include "runtime/core/registry.h"
#include "runtime/log/log_file.h"

LogManager& LogManager::instance() {
  static LogManager manager;
  return manager;
}

namespace {
// Carries the messages of runtime/core, which cannot call the log manager itself.
class CoreLogSink : public corelog::LogSink {
public:
  void write(int level, const std::u16string& text) override { LogManager::instance().logText(level, text); }
};

// Runs one step of logging (a sink, the text of an exception). Its failures are dropped, so that
// the sinks after it still run; a cancellation of the thread goes on.
template <class Step>
void dropFailures(Step&& step) {
  try {
    step();
  } catch (const ThreadCancelation::ThreadCanceled&) {
    throw;
  } catch (...) {
  }
}
} // namespace

LogManager::LogManager() {
  resetSwitches();
  static CoreLogSink coreSink;
  corelog::installLogSink(&coreSink);
}

void LogManager::resetSwitches() {
  bool debug = debugEnabled();
  std::lock_guard lock(mutex_);
  for (int level = 0; level < kLevels; ++level) {
    console_[level] = level >= corelog::levelResult;
    eventLog_[level] = level >= corelog::levelError || debug;
  }
}

bool LogManager::debugEnabled() {
  if (debugQueries_.fetch_add(1) % 16 == 0) {
    try {
      std::uint32_t value = debug_ ? 1 : 0;
      registry::lookup(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY, u"Debug", value,
                       registry::VIEW_32);
      debug_ = value != 0;
    } catch (const ThreadCancelation::ThreadCanceled&) {
      throw;
    } catch (...) {
      // A value of the wrong type keeps the last setting.
    }
  }
  return debug_;
}

std::u16string LogManager::levelWord(int level) {
  static const char16_t* const words[] = {u"Info",  u"Warning",    u"Result",
                                          u"Error", u"Unexpected", u"Crash"};
  return level >= 0 && level < kLevels ? words[level] : u"Unknown level";
}

void LogManager::logText(int level, const std::u16string& text) { dispatch(level, text, text, nullptr); }

void LogManager::logException(int level, const vexception& e) {
  std::optional<std::u16string> shown, logged;
  dropFailures([&] {
    shown = e.fullText();
    logged = e.loggedText();
  });
  if (shown && logged) dispatch(level, *shown, *logged, &e);
}

void LogManager::addListener(std::shared_ptr<LogListener> listener) {
  std::lock_guard lock(mutex_);
  listeners_.push_back(std::move(listener));
}

void LogManager::dispatch(int level, const std::u16string& shown, const std::u16string& logged,
                          const vexception* e) {
  const bool known = level >= 0 && level < kLevels;
  bool toEventLog = false, toConsole = false;
  std::vector<std::shared_ptr<LogListener>> listeners;
  {
    std::lock_guard lock(mutex_);
    toEventLog = known && eventLog_[level];
    toConsole = known && console_[level];
    listeners = listeners_;
  }
  const bool recording = recording_;
  dropFailures([&] {
    if (recording && (debugEnabled() || level > corelog::levelResult))
      LogFile(u"debug", true).write(levelWord(level) + u": " + logged);
  });
  dropFailures([&] {
    if (recording && toEventLog) eventLogSink_.report(level, logged);
  });
  dropFailures([&] {
    if (toConsole) printConsole(shown);
  });
  for (const auto& listener : listeners)
    dropFailures([&] {
      if (e) listener->onException(level, *e);
      else listener->onText(level, shown);
    });
}

void LogManager::printConsole(const std::u16string& text) {
  std::lock_guard lock(mutex_);
  std::string bytes = printed_ ? "\n" : "";
  printed_ = true;
  bytes += os::utf8FromUtf16(text);
  os::writeStdout(bytes);
}
