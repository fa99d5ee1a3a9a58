// The lines of the log as a listener receives them ("<level word>: <text>"), for tests that
// check what was logged.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "runtime/log/log_manager.h"
#include "tests/support/testing.h"

namespace testing_support {

class LogLines : public LogListener {
public:
  void onException(int, const vexception&) override {}
  void onText(int level, const std::u16string& text) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(u8(LogManager::levelWord(level) + u": " + text));
  }
  // The lines logged so far.
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // The lines logged since the last call.
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }

private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

} // namespace testing_support
