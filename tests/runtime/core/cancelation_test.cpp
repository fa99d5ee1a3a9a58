#include "runtime/core/cancelation.h"

#include <future>
#include <latch>
#include <optional>

#include <gtest/gtest.h>

#include "os/process.h"
#include "runtime/core/guard.h"
#include "runtime/core/sync.h"
#include "runtime/core/thread.h"
#include "tests/support/captured_log.h"
#include "tests/support/testing.h"

using namespace ThreadCancelation;
using testing_support::u8;

namespace {

TEST(Cancelation, NestedPointsRestoreTheOuterOne) {
  {
    CancelationPoint outer(SYNCHRONOUS);
    {
      CancelationPoint inner(ASYNCHRONOUS);
      EXPECT_EQ(CancelationPoint::current(), &inner);
    }
    EXPECT_EQ(CancelationPoint::current(), &outer);
  }
  EXPECT_EQ(CancelationPoint::current(), nullptr);
}

TEST(Cancelation, CancelEndsAThreadBlockedInAWait) {
  // Terminated with an exit code, or (none) cancelled; the exit code it ends with.
  using Case = std::pair<std::optional<std::uint32_t>, std::uint32_t>;
  for (const auto& [terminateWith, exitCode] : {Case{7, 7}, Case{std::nullopt, 995}}) {
    testing_support::CapturedLog log;
    std::latch waiting(1);
    std::atomic<std::uint32_t> threadId{0};
    std::atomic<bool> unwound{false}, returned{false};
    VThread thread([&]() -> std::uint32_t {
      struct Unwound {
        std::atomic<bool>& flag;
        ~Unwound() { flag = true; }
      } guard{unwound};
      VEvent never(true, false);
      threadId = os::threadId();
      waiting.count_down();
      never.waitForSingleObject(os::INFINITE_WAIT);
      returned = true;
      return 0;
    });
    waiting.wait();
    if (terminateWith) thread.terminate(*terminateWith);
    else EXPECT_TRUE(cancelThread(threadId));
    EXPECT_EQ(thread.waitForSingleObject(5000), os::WAIT_OBJECT_0);
    EXPECT_EQ(thread.exitCode(), exitCode);
    EXPECT_TRUE(unwound);
    EXPECT_FALSE(returned);
    EXPECT_FALSE(cancelThread(threadId)) << "the ended thread left no point behind";
    EXPECT_EQ(log.lines(), std::vector<std::string>{"0 Thread #" + std::to_string(threadId) +
                                                    " is going to be canceled!"});
  }
}

TEST(Cancelation, GuardsLetTheCancellationPassUntouched) {
  // Anything but the cancellation leaving the guards reaches get() and fails the test.
  const bool canceledWithNoPointLeft = std::async(std::launch::async, [] {
    try {
      guarded("outer", 1, [] { return std::u16string(u"Unable to call outer()"); }, [] {
        guarded("inner", 2, [] { return std::u16string(u"Unable to call inner()"); },
                [] { cancelThread(os::threadId()); });
      });
    } catch (const ThreadCanceled&) {
      return CancelationPoint::current() == nullptr;
    }
    return false;
  }).get();
  EXPECT_TRUE(canceledWithNoPointLeft);
}

} // namespace
