// The messages of the core log ("<level> <text>"), for tests that check what was logged.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "runtime/core/log_sink.h"
#include "tests/support/testing.h"

namespace testing_support {

// The core log's messages while it exists (it is the installed sink meanwhile).
class CapturedLog : public corelog::LogSink {
public:
  CapturedLog() { corelog::installLogSink(this); }
  ~CapturedLog() override { corelog::installLogSink(nullptr); }
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  void write(int level, const std::u16string& text) noexcept override {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::to_string(level) + " " + u8(text));
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

} // namespace testing_support
