// Whole-process tests of the log file sink: which messages reach the daily file, and its format.
#include <gtest/gtest.h>

#include "tests/e2e/host.h"

using namespace testing_support;

namespace {

class LogFileSink : public Host {
protected:
  // Runs tavrix with the given product configuration lines and returns the log file's text
  // (empty when no file was written).
  std::string runWith(const std::string& config, const std::vector<std::string>& args) {
    writeRegistry(config);
    exitCode_ = runTool(registry_, args).exitCode;
    logStat_ = {};
    if (::stat(logPath().c_str(), &logStat_) != 0) return {};
    EXPECT_EQ(readFile(logPath()).substr(0, 2), "\xFF\xFE");
    return takeLog();
  }

  int exitCode_ = -1;
  struct stat logStat_ {};
};

// While debugging, the start and the end of a command reach the file, its secrets masked; an error
// reaches it without debugging; nothing does with debugging off or the log's switch off.
TEST_F(LogFileSink, SwitchesDecideWhatReachesTheFile) {
  const std::string line = binary("tavrix") + " --help \"--db-password=*\"";
  const std::regex stamp(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \d+ \d+ )");
  EXPECT_EQ(std::regex_replace(runWith("\"Debug\"=dword:00000001\n", {"--help", "--db-password=secret"}), stamp, ""),
            "Info: Start command: '" + line + "'\r\nInfo: End command '" + line + "' with code: 0\r\n");
  EXPECT_EQ(exitCode_, 0);
  EXPECT_EQ(runWith("\"Debug\"=dword:00000000\n", {"--help"}), "");
  const std::string errors = runWith("", {"--Help"});
  EXPECT_NE(errors.find(" Error: command --Help not supported."), std::string::npos);
  EXPECT_EQ(errors.find("Info:"), std::string::npos);
  EXPECT_EQ(runWith("\"Debug\"=dword:00000001\n\"log_debug_enabled\"=dword:00000000\n", {"--Help"}), "");
}

// The log holds command lines (a script's, with its passwords, while debugging): a new log, and an
// older one of root's that anyone could read, are root's and the log readers' group's alone.
TEST_F(LogFileSink, TheLogIsReadableByRootAndTheLogReadersOnly) {
  if (::geteuid() != 0) GTEST_SKIP() << "the log's group is given by root";
  const group* adm = ::getgrnam("adm");
  const gid_t readers = adm ? adm->gr_gid : 0;
  for (bool older : {false, true}) {
    if (older) {
      writeFile(logPath(), std::string("\xFF\xFE", 2));
      ASSERT_EQ(::chmod(logPath().c_str(), 0666), 0);
    }
    EXPECT_NE(runWith("\"Debug\"=dword:00000001\n", {"--help"}), "");
    EXPECT_EQ(logStat_.st_mode & 07777, 0640u) << older;
    EXPECT_EQ(logStat_.st_uid, 0u) << older;
    EXPECT_EQ(logStat_.st_gid, readers) << older;
  }
}

} // namespace
