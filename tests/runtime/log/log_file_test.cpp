#include "runtime/log/log_file.h"

#include <sys/fanotify.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <regex>

#include <gtest/gtest.h>

#include "os/named_mutex.h"
#include "os/text.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

// Run as a child by the test below: writes the first line of the log "race".
TEST(LogFileChild, WritesOneLine) {
  if (!std::getenv("TAVRIX_TEST_LOG_CHILD")) GTEST_SKIP() << "runs only as the child of LogFile.TwoProcessesAtOnce...";
  LogFile(u"race", true).write(u"first line");
}

// Two processes write the first line of a new log file at once; only the first of them may start
// the file with the byte-order mark. What keeps the second out is the log file's mutex: each open
// of the log file waits for the test (fanotify), which checks that the opener holds the mutex.
TEST(LogFile, TwoProcessesAtOnceStartTheFileWithOneByteOrderMark) {
  if (::geteuid() != 0) GTEST_SKIP() << "fanotify's permission events need root";
  TempDir dir;
  std::filesystem::create_directories(dir.file("admin/logs"));
  ScopedRegistry registry("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir.file("run") +
                          "\"\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                          "\"PRODUCT_ROOT_D\"=\"" + dir.path() + "\"\n");
  const std::string lock = dir.file("run/lock/") + os::mutexFileName(u"kelvolog_race_mutex");
  int opens = 0, opensHoldingTheMutex = 0;
  PermissionGate gate(dir.file("admin/logs"), FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, [&](int pid) {
    ++opens;
    opensHoldingTheMutex += lockersOf(lock).holders.count(pid);
  });
  ASSERT_TRUE(gate.ok()) << "fanotify: " << std::strerror(errno);
  auto writer = [&] {
    return std::async(std::launch::async, [&] {
      return runProcess({std::filesystem::read_symlink("/proc/self/exe").string(), "--gtest_filter=LogFileChild.*"},
                        {{"TAVRIX_TEST_LOG_CHILD", "1"}});
    });
  };
  auto first = writer(), second = writer();
  for (auto* child : {&first, &second}) {
    ProcessResult r = child->get();
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  }
  gate.open(); // the test's own reads below are not held
  EXPECT_EQ(opens, 2);
  EXPECT_EQ(opensHoldingTheMutex, opens) << "the log file was opened without its mutex";

  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir.file("admin/logs"))) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u);
  const std::u16string text = os::utf16FromLittleEndian(readFile(files[0]));
  EXPECT_EQ(text.rfind(u'\xFEFF'), 0u) << "one byte-order mark, at the start";
  const std::string lines = os::utf8FromUtf16(text.substr(1));
  const std::regex line(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \d+ \d+ first line\r\n)");
  EXPECT_EQ(std::distance(std::sregex_iterator(lines.begin(), lines.end(), line), std::sregex_iterator()), 2) << lines;
}

} // namespace
