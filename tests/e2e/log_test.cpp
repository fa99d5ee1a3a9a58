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
    runTool(registry_, args);
    logStat_ = {};
    return ::stat(logPath().c_str(), &logStat_) != 0 ? "" : takeLog();
  }

  struct stat logStat_ {};
};

// While debugging, the start of a command that acts reaches the file; an error reaches it without
// debugging; nothing does with the log's switch off. (That --help and a usage error write no log at
// all is Operator.VersionHelpAndUsageErrorsWriteNothing's; the command's exit code while debugging,
// Operator.TheLogDirectoryIsMadeAndTheEncodingChosen's.)
TEST_F(LogFileSink, SwitchesDecideWhatReachesTheFile) {
  std::string commandLine = binary("tavrix");
  for (const std::string& arg : kActingCommand)
    commandLine += arg.starts_with("--delete") ? " " + arg : " \"" + arg + "\"";
  const std::regex stamp(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \d+ \d+ )");
  const std::string debug = std::regex_replace(runWith("\"Debug\"=dword:00000001\n", kActingCommand), stamp, "");
  EXPECT_TRUE(debug.starts_with("Info: Start command: '" + commandLine + "'\r\n")) << debug;
  const std::string errors = runWith("\"Debug\"=dword:00000000\n", kActingCommand);
  EXPECT_NE(errors.find(" Error: failed to load external entity"), std::string::npos);
  EXPECT_EQ(errors.find("Info:"), std::string::npos);
  EXPECT_EQ(runWith("\"Debug\"=dword:00000001\n\"log_debug_enabled\"=dword:00000000\n", kActingCommand), "");
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
    EXPECT_NE(runWith("\"Debug\"=dword:00000001\n", kActingCommand), "");
    EXPECT_EQ(logStat_.st_mode & 07777, 0640u) << older;
    EXPECT_EQ(logStat_.st_uid, 0u) << older;
    EXPECT_EQ(logStat_.st_gid, readers) << older;
  }
}

} // namespace
