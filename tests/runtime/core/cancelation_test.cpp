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

TEST(Cancelation, NestedPointsRestoreTheOuterOneAndInheritMode2) {
  struct Case {
    int outer, inner, innerMode;
  };
  const Case cases[] = {{SYNCHRONOUS, ASYNCHRONOUS, ASYNCHRONOUS},
                        {ASYNCHRONOUS, SYNCHRONOUS, SYNCHRONOUS},
                        {INHERITED, SYNCHRONOUS, INHERITED}};
  for (const Case& c : cases) {
    ASSERT_EQ(CancelationPoint::current(), nullptr);
    {
      CancelationPoint outer(c.outer);
      {
        CancelationPoint inner(c.inner);
        EXPECT_EQ(CancelationPoint::current(), &inner);
        EXPECT_EQ(inner.mode(), c.innerMode) << c.outer << "/" << c.inner;
      }
      EXPECT_EQ(CancelationPoint::current(), &outer);
    }
    EXPECT_EQ(CancelationPoint::current(), nullptr);
  }
}

TEST(Cancelation, CancelEndsAThreadBlockedInAWait) {
  struct Case {
    std::optional<std::uint32_t> terminateWith; // else cancelThread
    std::uint32_t exitCode;
  };
  for (const Case& c : {Case{7, 7}, Case{std::nullopt, 995}}) {
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
    if (c.terminateWith) thread.terminate(*c.terminateWith);
    else EXPECT_TRUE(cancelThread(threadId));
    EXPECT_EQ(thread.waitForSingleObject(5000), os::WAIT_OBJECT_0);
    EXPECT_EQ(thread.exitCode(), c.exitCode);
    EXPECT_TRUE(unwound);
    EXPECT_FALSE(returned);
    EXPECT_FALSE(cancelThread(threadId)) << "the ended thread left no point behind";
    EXPECT_EQ(log.lines(), std::vector<std::string>{"0 Thread #" + std::to_string(threadId) +
                                                    " is going to be canceled!"});
  }
}

TEST(Cancelation, GuardsLetTheCancellationPassUntouched) {
  int outcome = std::async(std::launch::async, [] {
                  try {
                    guarded("outer", 1, [] { return std::u16string(u"Unable to call outer()"); }, [] {
                      guarded("inner", 2, [] { return std::u16string(u"Unable to call inner()"); },
                              [] { cancelThread(os::threadId()); });
                    });
                    return 0;
                  } catch (const ThreadCanceled&) {
                    return CancelationPoint::current() == nullptr ? 1 : 2;
                  } catch (...) {
                    return 3;
                  }
                }).get();
  EXPECT_EQ(outcome, 1);
}

} // namespace
