#include "runtime/log/log_manager.h"

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "os/process.h"
#include "runtime/core/cancelation.h"
#include "runtime/core/log_sink.h"
#include "runtime/core/sync.h"
#include "runtime/core/thread.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

class Recorder : public LogListener {
public:
  void onException(int, const vexception&) override {}
  void onText(int level, const std::u16string& text) override {
    lines.push_back(std::to_string(level) + " " + u8(text));
  }
  std::vector<std::string> lines;
};

// A product configuration with its own root and run directory.
class LogManagerTest : public ::testing::Test {
protected:
  TempDir dir_;
  ScopedRegistry registry_{"[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") +
                           "\"\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                           "\"PRODUCT_ROOT_D\"=\"" + dir_.path() + "\"\n"};
};

TEST_F(LogManagerTest, CarriesTheMessagesOfTheCoreLayer) {
  auto recorder = std::make_shared<Recorder>();
  LogManager::instance().addListener(recorder);
  corelog::log(corelog::levelInfo, u"Thread #%d is going to be canceled!", 42);
  EXPECT_EQ(recorder->lines, std::vector<std::string>{"0 Thread #42 is going to be canceled!"});
}

// The file sink waits for the log file's mutex as a cancellation point: a thread cancelled there
// ends, however many sinks catch their own failures.
TEST_F(LogManagerTest, ThreadCancelledWhileWaitingForTheLogFileStops) {
  VMutex held(false, u"kelvolog_debug_mutex");
  ASSERT_TRUE(held.lock(os::INFINITE_WAIT));
  std::latch started(1);
  std::atomic<std::uint32_t> threadId{0};
  std::atomic<bool> wentOn{false};
  VThread thread([&]() -> std::uint32_t {
    threadId = os::threadId();
    started.count_down();
    LogManager::instance().logText(corelog::levelError, u"written by a cancelled thread");
    wentOn = true;
    return 0;
  });
  started.wait();
  std::this_thread::sleep_for(std::chrono::milliseconds(200)); // into the wait for the mutex
  EXPECT_TRUE(ThreadCancelation::cancelThread(threadId));
  EXPECT_EQ(thread.waitForSingleObject(5000), os::WAIT_OBJECT_0);
  held.unlock();
  EXPECT_EQ(thread.waitForSingleObject(5000), os::WAIT_OBJECT_0);
  EXPECT_EQ(thread.exitCode(), os::err::operationAborted);
  EXPECT_FALSE(wentOn);
}

} // namespace
