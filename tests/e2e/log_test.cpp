// Whole-process tests of the log file sink: which messages reach the daily file, and its format.
#include <gtest/gtest.h>

#include "tests/e2e/host.h"

using namespace testing_support;

namespace {

class LogFileSink : public ::testing::Test {
protected:
  // Runs tavrix with the given product configuration lines and returns the log file's text
  // (empty when no file was written).
  std::string runWith(const std::string& configLines, const std::vector<std::string>& args) {
    std::filesystem::create_directories(root_ + "/admin/logs");
    writeFile(registry_, hostRegistry(dir_.path(), "\"PRODUCT_ROOT_D\"=\"" + root_ + "\"\n" + configLines));
    exitCode_ = runTool(registry_, args).exitCode;

    const std::string file = dailyLogPath(root_);
    logStat_ = {};
    if (::stat(file.c_str(), &logStat_) != 0) return {};
    EXPECT_EQ(readFile(file).substr(0, 2), "\xFF\xFE");
    std::string text = readDailyLog(root_);
    std::filesystem::remove(file);
    return text;
  }

  TempDir dir_;
  std::string root_ = dir_.file("product");
  std::string registry_ = dir_.file("registry.reg");
  int exitCode_ = -1;
  struct stat logStat_ {};
};

TEST_F(LogFileSink, DebugLoggingWritesTheStartOfACommandThatActs) {
  std::string log = runWith("\"Debug\"=dword:00000001\n", kActingCommand);
  EXPECT_EQ(exitCode_, 1);
  const std::regex line(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \d+ \d+ Info: (.*)\r\n)");
  std::vector<std::string> messages;
  for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it)
    messages.push_back((*it)[1]);
  std::string commandLine = binary("tavrix");
  for (const std::string& arg : kActingCommand)
    commandLine += arg.starts_with("--delete") ? " " + arg : " \"" + arg + "\"";
  ASSERT_FALSE(messages.empty()) << log;
  EXPECT_EQ(messages[0], "Start command: '" + commandLine + "'");
}

// --help and a usage error write no log, whatever the switches say.
TEST_F(LogFileSink, SwitchesDecideWhatReachesTheFile) {
  std::string errors = runWith("\"Debug\"=dword:00000000\n", kActingCommand);
  EXPECT_NE(errors.find(" Error: failed to load external entity"), std::string::npos);
  EXPECT_EQ(errors.find("Info:"), std::string::npos);
  EXPECT_EQ(runWith("\"Debug\"=dword:00000001\n\"log_debug_enabled\"=dword:00000000\n", kActingCommand), "");
  EXPECT_EQ(runWith("\"Debug\"=dword:00000001\n", {"--help"}), "");
  EXPECT_EQ(runWith("\"Debug\"=dword:00000001\n", {"--Help"}), "");
}

// The log holds command lines (a script's, with its passwords, while debugging): a new log, and an
// older one of root's that anyone could read, are root's and the log readers' group's alone.
TEST_F(LogFileSink, TheLogIsReadableByRootAndTheLogReadersOnly) {
  if (::geteuid() != 0) GTEST_SKIP() << "the log's group is given by root";
  const group* adm = ::getgrnam("adm");
  const gid_t readers = adm ? adm->gr_gid : 0;
  for (bool older : {false, true}) {
    if (older) {
      writeFile(dailyLogPath(root_), std::string("\xFF\xFE", 2));
      ASSERT_EQ(::chmod(dailyLogPath(root_).c_str(), 0666), 0);
    }
    EXPECT_NE(runWith("\"Debug\"=dword:00000001\n", kActingCommand), "");
    EXPECT_EQ(logStat_.st_mode & 07777, 0640u) << older;
    EXPECT_EQ(logStat_.st_uid, 0u) << older;
    EXPECT_EQ(logStat_.st_gid, readers) << older;
  }
}

} // namespace
