#include "runtime/log/log_manager.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "os/posix/fd.h"
#include "os/process.h"
#include "runtime/core/cancelation.h"
#include "runtime/core/log_sink.h"
#include "runtime/core/sync.h"
#include "runtime/core/thread.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

// A product configuration with its own root and run directory.
class LogManagerTest : public ::testing::Test {
protected:
  TempDir dir_;
  std::string config(const std::string& extra = {}) {
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") +
           "\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n\"PRODUCT_ROOT_D\"=\"" +
           dir_.path() + "\"\n" + extra;
  }
  ScopedRegistry registry_{config()};
};

// The file sink waits for the log file's mutex as a cancellation point: a thread cancelled there
// ends, however many sinks catch their own failures.
TEST_F(LogManagerTest, ThreadCancelledWhileWaitingForTheLogFileStops) {
  VMutex held(false, u"kelvolog_debug_mutex");
  ASSERT_TRUE(held.lock(os::INFINITE_WAIT));
  std::atomic<std::uint32_t> threadId{0};
  VThread thread([&]() -> std::uint32_t {
    threadId = os::threadId();
    threadId.notify_all();
    LogManager::instance().logText(corelog::levelError, u"written by a cancelled thread");
    return 0;
  });
  threadId.wait(0);
  waitUntilAsleep(static_cast<int>(threadId.load())); // in the wait for the held mutex
  EXPECT_TRUE(ThreadCancelation::cancelThread(threadId));
  EXPECT_EQ(thread.waitForSingleObject(5000), os::WAIT_OBJECT_0);
  held.unlock();
  // Only the cancellation ends the thread with this code: had it gone on, it would return 0.
  EXPECT_EQ(thread.exitCode(), os::err::operationAborted);
}

// Run as a child by the test below, with debug logging on: one message of every level.
TEST(EventLogChild, LogsEveryLevel) {
  if (!std::getenv("TAVRIX_TEST_EVENT_CHILD")) GTEST_SKIP() << "runs only as the child of LogManagerTest.EventLog...";
  LogManager& log = LogManager::instance();
  log.resetSwitches();
  for (int level : {0, 1, 2, 3, 4, 5, 7}) log.log(level, u"message %d\nof level %d", level, level);
}

// The records the system log receives: the priority of each level (facility user), the
// executable's name and process id, the message. Captured through a /dev/log of the test's own in
// a private mount namespace, so the host's log sees nothing.
TEST_F(LogManagerTest, EventLogRecordsReachTheSystemLogWithTheLevelsPriority) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  if (std::system("/usr/bin/unshare --mount /bin/true 2>/dev/null") != 0)
    GTEST_SKIP() << "mount namespaces are not available here";
  // A datagram socket stands in for /dev/log.
  const os::posix::Fd capture(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  dir_.file("log").copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(capture.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  registry_.write(config("\"Debug\"=dword:00000001\n"));
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  ProcessResult child = runProcess(
      {"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
       "mount -t tmpfs tmpfs /dev && ln -s \"$1\" /dev/log && exec \"$2\" --gtest_filter=EventLogChild.*", "sh",
       dir_.file("log"), self},
      {{"TAVRIX_TEST_EVENT_CHILD", "1"}});
  ASSERT_EQ(child.exitCode, 0) << child.out << child.err;

  const std::regex record(R"(<(\d+)>\w{3} [ \d]\d \d\d:\d\d:\d\d ([^\[]+)\[\d+\]: ([^]*))");
  std::vector<std::string> received;
  char buffer[8192];
  for (ssize_t n; (n = ::recv(capture.get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
    const std::string text(buffer, static_cast<std::size_t>(n));
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, record)) << text;
    EXPECT_EQ(m[2], "test_runtime_log");
    received.push_back(m[1].str() + " " + m[3].str());
  }
  // Info, Warning, Result (a success), then Error, Unexpected and Crash as errors; an unknown
  // level has no switch.
  const int priorities[] = {LOG_INFO, LOG_WARNING, LOG_NOTICE, LOG_ERR, LOG_ERR, LOG_ERR};
  std::vector<std::string> expected;
  for (int level = 0; level < 6; ++level)
    expected.push_back(std::to_string(LOG_USER | priorities[level]) + " message " + std::to_string(level) +
                       "\nof level " + std::to_string(level));
  EXPECT_EQ(received, expected);
}

} // namespace
