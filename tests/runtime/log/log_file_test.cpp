#include "runtime/log/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <regex>

#include <gtest/gtest.h>

#include "os/posix/fd.h"
#include "os/text.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

constexpr int kRounds = 300;

std::u16string logName(int round) { return u"race" + os::utf16FromUtf8(std::to_string(round)); }

// Run as a child by the test below. Each round it waits for the parent's go (both children wake
// at the same moment), writes the first line of that round's log file and answers on "done".
TEST(LogFileChild, WritesOneLinePerRound) {
  const char* fifos = std::getenv("TAVRIX_TEST_LOG_FIFOS");
  if (!fifos) GTEST_SKIP() << "runs only as the child of LogFile.TwoProcessesAtOnce...";
  const os::posix::Fd go(::open((std::string(fifos) + "/go").c_str(), O_RDONLY | O_CLOEXEC));
  const os::posix::Fd done(::open((std::string(fifos) + "/done").c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(go.valid());
  ASSERT_TRUE(done.valid());
  ASSERT_EQ(::write(done.get(), "r", 1), 1);
  for (int round = 0; round < kRounds; ++round) {
    LogFile file(logName(round), true);
    char byte;
    ASSERT_EQ(::read(go.get(), &byte, 1), 1);
    file.write(u"first line");
    ASSERT_EQ(::write(done.get(), "d", 1), 1);
  }
}

// The units of a UTF-16LE file.
std::u16string utf16le(const std::string& raw) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < raw.size(); i += 2)
    text += static_cast<char16_t>(static_cast<unsigned char>(raw[i]) | static_cast<unsigned char>(raw[i + 1]) << 8);
  return text;
}

// Two processes write the first line of a new log file at the same moment, round after round.
// The log file's mutex must let only the first of them start the file with the byte-order mark.
TEST(LogFile, TwoProcessesAtOnceStartTheFileWithOneByteOrderMark) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("admin/logs"));
  ScopedRegistry registry("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir.file("run") +
                          "\"\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                          "\"PRODUCT_ROOT_D\"=\"" + dir.path() + "\"\n");
  ASSERT_EQ(::mkfifo(dir.file("go").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(dir.file("done").c_str(), 0600), 0);
  auto writer = [&] {
    return std::async(std::launch::async, [&] {
      return runProcess({std::filesystem::read_symlink("/proc/self/exe").string(), "--gtest_filter=LogFileChild.*"},
                        {{"TAVRIX_TEST_LOG_FIFOS", dir.path()}}, std::chrono::seconds(60));
    });
  };
  auto first = writer(), second = writer();
  // Declared after the children's futures, so a failed assertion closes the FIFOs (and the
  // children stop) before those futures wait for them.
  os::posix::Fd go(::open(dir.file("go").c_str(), O_WRONLY | O_CLOEXEC));
  os::posix::Fd done(::open(dir.file("done").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(go.valid());
  ASSERT_TRUE(done.valid());
  char answers[2];
  auto both = [&] {
    return ::read(done.get(), answers, 1) == 1 && ::read(done.get(), answers + 1, 1) == 1;
  };
  ASSERT_TRUE(both()) << "both children are ready";
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_EQ(::write(go.get(), "gg", 2), 2);
    ASSERT_TRUE(both()) << "round " << round;
  }
  go.reset();
  done.reset();
  for (auto* child : {&first, &second}) {
    ProcessResult r = child->get();
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  }

  const std::regex line(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \d+ \d+ first line\r\n)");
  int files = 0, doubled = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.file("admin/logs"))) {
    ++files;
    std::u16string text = utf16le(readFile(entry.path()));
    ASSERT_FALSE(text.empty()) << entry.path();
    EXPECT_EQ(text[0], 0xFEFF) << entry.path();
    doubled += std::count(text.begin(), text.end(), u'\xFEFF') != 1;
    std::string lines = os::utf8FromUtf16(text.substr(1));
    EXPECT_EQ(std::distance(std::sregex_iterator(lines.begin(), lines.end(), line), std::sregex_iterator()), 2)
        << lines;
  }
  EXPECT_EQ(files, kRounds);
  EXPECT_EQ(doubled, 0) << "files with more than one byte-order mark, of " << kRounds;
}

} // namespace
