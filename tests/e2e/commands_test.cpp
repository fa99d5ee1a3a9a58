// Whole-process tests of the command line: the real binary, its output and exit code.
#include <sys/file.h>

#include <future>

#include <gtest/gtest.h>

#include "tests/e2e/host.h"

using namespace testing_support;

namespace {

const char kUsage[] =
    "\nusage: tavrix [options] ...\n\n\n--help\n--run-application-script (--application-full-name=<application full name> | \n"
    "                         --script-name=<script name>\n                         --user-name=<system user name>\n"
    "--extract-application    --application-full-name=<application full name>\n"
    "                         --vhost-path=<path to domain home directory>\n"
    "                         --user-name=<system user name>\n"
    "                         --application-subdirectory=<application subdirectory>\n"
    "--delete-application     --application-full-name=<application full name>\n"
    "                         --vhost-path=<path to domain home directory>\n"
    "                         --user-name=<system user name>\n"
    "                         --application-subdirectory=<application subdirectory>\n";

class Commands : public ::testing::Test {
protected:
  // No panel service runs here: one connect try, so that operations fail at once.
  Commands() { writeFile(registry_, hostRegistry(dir_.path(), "\"PipeConnectTryCount\"=dword:00000001\n")); }

  ProcessResult tavrix(const std::vector<std::string>& args) { return runTool(registry_, args); }

  TempDir dir_;
  std::string registry_ = dir_.file("registry.reg");
};

// Printing the usage needs nothing of the host: a user who cannot use the run directory (it is
// root's, or missing under a directory of root's) gets it too.
TEST_F(Commands, UsageWithoutArgumentsAndForHelpForAnyUser) {
  for (const auto& args : {std::vector<std::string>{}, {"--help"}, {"--help", "--x=1", "junk"}}) {
    ProcessResult r = tavrix(args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kUsage);
  }
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
  // Everything the user needs to reach lies in a directory that everyone may read.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  std::filesystem::copy_file(binary("tavrix"), dir_.file("tavrix"));
  std::filesystem::create_directories(dir_.file("closed/lock"));
  ASSERT_EQ(::chmod(dir_.file("closed/lock").c_str(), 0700), 0);
  for (const char* runDirectory : {"closed", "closed/lock/run", "missing/run"}) {
    std::string registry = dir_.file("user.reg");
    writeFile(registry, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n"
                        "\"RunDirectory\"=\"" + dir_.file(runDirectory) + "\"\n");
    ASSERT_EQ(::chmod(registry.c_str(), 0644), 0);
    for (const auto& args : {std::vector<std::string>{}, {"--help"}}) {
      std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                       dir_.file("tavrix")};
      argv.insert(argv.end(), args.begin(), args.end());
      ProcessResult r = runProcess(argv, {{"TAVRIX_REGISTRY", registry}});
      EXPECT_EQ(r.exitCode, 0) << runDirectory << "\n" << r.out << r.err;
      EXPECT_EQ(r.out, kUsage) << runDirectory;
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.file("missing"))) << "nothing was created";
  }
}

// A command or parameter the tool does not take: the message, where it was raised, and the
// command line with its secrets masked.
TEST_F(Commands, UnknownCommandsAndParametersAreNamed) {
  struct Case { std::vector<std::string> args; std::string message; std::string where = "Params::check"; };
  const std::string extractPossible =
      "Possible parameters:\n    --application-full-name\n    --www-root\n    --user-name\n"
      "    --application-subdirectory\n    [--metadata-file]";
  const Case cases[] = {
      {{"--Help", "--db-password=secret"},
       "command --Help not supported. Possible commands:\n   --help\n   --run-application-script\n"
       "   --extract-application\n   --update-application-permissions\n   --delete-application",
       "vconsoleapp::cmdNotSupported"},
      {{"--extract-application", "--application-full-name=a", "--vhost-path=/x", "--user-name=u",
        "--application-subdirectory=s"},
       "Missing required parameter --www-root. " + extractPossible},
      {{"--extract-application", "--application-full-name=a", "--www-root=/x", "--user-name=u",
        "--application-subdirectory=s", "--bogus=1"},
       "Unexpected parameter --bogus. " + extractPossible},
      {{"--run-application-script", "--application-full-name=a", "--script-filename=f",
        "--script-name=n", "--user-name=u"},
       "Missing required parameter --fsa-xml-file. Possible parameters:\n    --application-full-name\n"
       "    --script-filename\n    --script-name\n    --user-name\n    --fsa-xml-file"},
      {{"--extract-application", "--application-full-name=a", "--www-root=/x", "--user-name=u",
        "--application-subdirectory=s", "--metadata-file="},
       "Parameter --metadata-file names no file", "Params::getFileName"},
      {{"--update-application-permissions", "--application-full-name=a", "--www-root=/x", "--user-name=u",
        "--application-subdirectory=s", "--metadata-file"},
       "Parameter --metadata-file names no file", "Params::getFileName"},
  };
  for (const Case& c : cases) {
    ProcessResult r = tavrix(c.args);
    EXPECT_EQ(r.exitCode, 1);
    std::string line = binary("tavrix");
    for (const std::string& arg : c.args)
      line += " " + (arg.find('=') == std::string::npos ? arg
                     : arg.starts_with("--db-password=") ? "\"--db-password=*\""
                                                         : "\"" + arg + "\"");
    EXPECT_EQ(withoutLineNumbers(r.out), c.message + "\n   at (" + c.where + " line N)" +
                                             "\n   at Unable to execute console command: '" + c.args[0] +
                                             "'(vconsoleapp::start line N)\n   at Unable to execute command: '" +
                                             line + "'(vconsoleapp::run line N)");
  }
}

// What an operation that needs the management service says when none is listening.
constexpr char kNoService[] =
    "No such file or directory (Error code 2) at Unable to connect to pipe \\\\.\\pipe\\zrcpipe";

TEST_F(Commands, ExtractionsOfOneUserAreSerialisedByTheLastUserName) {
  // Hold the mutex of user "bob" as another process would.
  const std::string bobLock = dir_.file("run/lock/{E87E2855-6D09-4f17-BA44-1D012E75DD7F}bob");
  ProcessResult first = tavrix({"--extract-application", "--application-full-name=a", "--www-root=/x",
                                "--user-name=bob", "--application-subdirectory=s"});
  ASSERT_EQ(first.exitCode, 1); // creates the lock directory and file, then fails in the operation
  os::posix::Fd fd(::open(bobLock.c_str(), O_RDWR));
  ASSERT_TRUE(fd.valid());
  ASSERT_EQ(::flock(fd.get(), LOCK_EX), 0);

  // Every check passes (with the always-accepted internal package name): the operation itself is
  // what fails, asking the management service for the repository.
  auto blocked = std::async(std::launch::async, [&] {
    return tavrix({"--extract-application", "--application-full-name=a", "--www-root=/x", "--user-name=alice",
                   "--user-name=bob", "--application-subdirectory=s", "--metadata-file=m", "--internal-package-name=p"});
  });
  auto other = tavrix({"--delete-application", "--application-full-name=a", "--www-root=/x",
                       "--user-name=carol", "--application-subdirectory=s", "--files=f"});
  EXPECT_EQ(other.exitCode, 1); // another user is not blocked
  // The extraction waits for bob's lock, as /proc/locks shows (unless it ended without waiting).
  while (lockersOf(bobLock).waiters.empty() && blocked.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
    std::this_thread::yield();
  EXPECT_EQ(lockersOf(bobLock).waiters.size(), 1u);
  ::flock(fd.get(), LOCK_UN);
  fd.reset();
  ProcessResult r = blocked.get();
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), kNoService);
  EXPECT_NE(r.out.find("at Unable to call SiteApplicationManager::extractApplication("), std::string::npos) << r.out;
}

} // namespace
