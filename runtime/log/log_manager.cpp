#include "runtime/log/log_manager.h"

#include "os/console.h"
#include "os/text.h"
#include "runtime/core/log_sink.h"
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
  void write(int level, const std::u16string& text) noexcept override {
    LogManager::instance().logText(level, text);
  }
};
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
    console_[level] = level >= LOG_RESULT;
    eventLog_[level] = level >= LOG_ERROR || debug;
  }
}

bool LogManager::debugEnabled() {
  if (debugQueries_.fetch_add(1) % 16 == 0) {
    try {
      std::uint32_t value = debug_ ? 1 : 0;
      registry::lookup(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY, u"Debug", value,
                       registry::VIEW_32);
      debug_ = value != 0;
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

void LogManager::logText(int level, const std::u16string& text) noexcept {
  dispatch(level, text, nullptr);
}

void LogManager::logException(int level, const vexception& e) noexcept {
  try {
    dispatch(level, e.fullText(), &e);
  } catch (...) {
  }
}

void LogManager::addListener(std::shared_ptr<LogListener> listener) {
  std::lock_guard lock(mutex_);
  listeners_.push_back(std::move(listener));
}

void LogManager::dispatch(int level, const std::u16string& text, const vexception* e) noexcept {
  bool known = level >= 0 && level < kLevels;
  try {
    if (debugEnabled() || level > LOG_RESULT)
      LogFile(u"debug", true).write(levelWord(level) + u": " + text);
  } catch (...) {
  }
  try {
    if (known && eventLog_[level]) eventLogSink_.report(level, text);
  } catch (...) {
  }
  try {
    if (known && console_[level]) printConsole(text);
  } catch (...) {
  }
  std::vector<std::shared_ptr<LogListener>> listeners;
  {
    std::lock_guard lock(mutex_);
    listeners = listeners_;
  }
  for (const auto& listener : listeners) {
    try {
      if (e) listener->onException(level, *e);
      else listener->onText(level, text);
    } catch (...) {
    }
  }
}

void LogManager::printConsole(const std::u16string& text) {
  std::lock_guard lock(mutex_);
  std::string bytes = printed_ ? "\n" : "";
  printed_ = true;
  bytes += os::utf8FromUtf16(text);
  os::writeStdout(bytes);
}
