#include "runtime/log/log_manager.h"

#include <gtest/gtest.h>

#include "runtime/core/log_sink.h"
#include "tests/support/testing.h"

namespace {

class Recorder : public LogListener {
public:
  void onException(int, const vexception&) override {}
  void onText(int level, const std::u16string& text) override {
    lines.push_back(std::to_string(level) + " " + testing_support::u8(text));
  }
  std::vector<std::string> lines;
};

TEST(LogManager, CarriesTheMessagesOfTheCoreLayer) {
  testing_support::ScopedRegistry registry;
  auto recorder = std::make_shared<Recorder>();
  LogManager::instance().addListener(recorder);
  corelog::log(corelog::levelInfo, u"Thread #%d is going to be canceled!", 42);
  EXPECT_EQ(recorder->lines, std::vector<std::string>{"0 Thread #42 is going to be canceled!"});
}

} // namespace
