#include "runtime/core/cancelation.h"

#include <algorithm>
#include <filesystem>
#include <future>
#include <latch>
#include <mutex>
#include <optional>

#include <gtest/gtest.h>

#include "os/process.h"
#include "runtime/core/guard.h"
#include "runtime/core/log_sink.h"
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
        EXPECT_EQ(inner.previous(), &outer);
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

TEST(Cancelation, BoundedWorkerGivesUpAfterItsTimeout) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  struct Case {
    GetFinalPathNameByHandleExecutor::Resolver resolve;
    std::string path;
    bool warned;
  };
  const Case cases[] = {
      {[] { return os::Result<std::u16string>(u"C:\\site\\file.txt"); }, "C:\\site\\file.txt", false},
      {[] { return os::Result<std::u16string>::failure(5); }, "", false},
      {[released] {
         released.wait();
         return os::Result<std::u16string>(u"too late");
       },
       "", true},
  };
  for (const Case& c : cases) {
    testing_support::CapturedLog log;
    EXPECT_EQ(u8(GetFinalPathNameByHandleExecutor::getFilePath(0x1f, c.resolve, 200)), c.path);
    std::vector<std::string> warning;
    if (c.warned)
      warning.push_back("1 GetFinalPathNameByHandleExecutor::getFilePath(0x1f) Terminate handle path "
                        "resolving thread: timeout reached");
    EXPECT_EQ(log.lines(), warning);
  }
  release.set_value();
}

// The tree this test was built from, as the build directory's cache names it.
std::string sourceTree() {
  const auto build = std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path();
  const std::string cache = testing_support::readFile(build / "CMakeCache.txt");
  const std::string key = "tavrix_SOURCE_DIR:STATIC=";
  std::size_t at = cache.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  return cache.substr(at, cache.find('\n', at) - at);
}

// A catch-all that drops what it catches would keep a cancelled thread running. Every one in the
// tree must either throw on or come after a handler that lets ThreadCanceled pass.
TEST(Cancelation, NoCatchAllInTheTreeSwallowsIt) {
  const std::string source = sourceTree();
  if (source.empty()) GTEST_SKIP() << "the source tree is not known";
  std::vector<std::string> swallowing;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(source)) {
    const std::string path = entry.path().string();
    const std::string relative = path.substr(source.size() + 1);
    if (relative.rfind("build", 0) == 0 || relative.rfind("tests/", 0) == 0 || relative.rfind(".", 0) == 0)
      continue;
    if (entry.path().extension() != ".cpp" && entry.path().extension() != ".h") continue;
    const std::string text = testing_support::readFile(path);
    for (std::size_t at = text.find("catch (...)"); at != std::string::npos; at = text.find("catch (...)", at + 1)) {
      // The handler's body, up to its closing brace.
      std::size_t open = text.find('{', at), close = open;
      for (int depth = 0; close < text.size(); ++close) {
        depth += text[close] == '{' ? 1 : text[close] == '}' ? -1 : 0;
        if (depth == 0) break;
      }
      // Throwing on, or keeping the exception to throw it later (across a C library's frames).
      const std::string body = text.substr(open, close - open);
      const bool rethrows = body.find("throw;") != std::string::npos ||
                            body.find("std::current_exception()") != std::string::npos;
      // The handlers before it in the same try statement.
      const std::size_t tryAt = text.rfind("try {", at);
      const bool passesItOn = tryAt != std::string::npos &&
                              text.substr(tryAt, at - tryAt).find("ThreadCanceled&)") != std::string::npos;
      if (!rethrows && !passesItOn)
        swallowing.push_back(relative + ":" + std::to_string(std::count(text.begin(), text.begin() + at, '\n') + 1));
    }
  }
  EXPECT_EQ(swallowing, std::vector<std::string>{});
}

} // namespace
