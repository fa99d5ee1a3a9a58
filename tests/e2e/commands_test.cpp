// Whole-process tests of the command line: the real binary, its output and exit code.
#include <sys/file.h>

#include <future>

#include <gtest/gtest.h>

#include "tests/e2e/host.h"

using namespace testing_support;

namespace {

// The parameters of the extraction and the deletion, as the usage lists them under each.
const std::string kSiteParameters = "--application-full-name=<application full name>\n" + std::string(25, ' ') +
                                    "--vhost-path=<path to domain home directory>\n" + std::string(25, ' ') +
                                    "--user-name=<system user name>\n" + std::string(25, ' ') +
                                    "--application-subdirectory=<application subdirectory>\n";
const std::string kUsage =
    "\nusage: tavrix [options] ...\n\n\n--help\n--run-application-script (--application-full-name=<application full name> | \n"
    "                         --script-name=<script name>\n                         --user-name=<system user name>\n"
    "--extract-application    " + kSiteParameters + "--delete-application     " + kSiteParameters;

// No panel service runs here: one connect try, so that operations fail at once.
class Commands : public Host {
protected:
  Commands() { writeRegistry("\"PipeConnectTryCount\"=dword:00000001\n"); }

  ProcessResult tavrix(const std::vector<std::string>& args) { return runTool(registry_, args); }
};

// That printing the usage writes nothing of the host is Operator.VersionHelpAndUsageErrorsWriteNothing's.
TEST_F(Commands, UsageWithoutArgumentsAndForHelp) {
  for (const auto& args : {std::vector<std::string>{}, {"--help"}, {"--help", "--x=1", "junk"}}) {
    ProcessResult r = tavrix(args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kUsage);
  }
}

// A command or parameter the tool does not take: the message, where it was raised, and the
// command line with its secrets masked.
TEST_F(Commands, UnknownCommandsAndParametersAreNamed) {
  struct Case { std::vector<std::string> args; std::string message; std::string where = "Params::check"; };
  // A command with the parameters that every one takes but --www-root, and `more`.
  const auto command = [](const std::string& name, std::vector<std::string> more) {
    more.insert(more.begin(), {name, "--application-full-name=a", "--user-name=u", "--application-subdirectory=s"});
    return more;
  };
  const std::string extractPossible =
      "Possible parameters:\n    --application-full-name\n    --www-root\n    --user-name\n"
      "    --application-subdirectory\n    [--metadata-file]";
  const Case cases[] = {
      {{"--Help", "--db-password=secret"},
       "command --Help not supported. Possible commands:\n   --help\n   --run-application-script\n"
       "   --extract-application\n   --update-application-permissions\n   --delete-application",
       "vconsoleapp::cmdNotSupported"},
      {command("--extract-application", {"--vhost-path=/x"}), "Missing required parameter --www-root. " + extractPossible},
      {command("--extract-application", {"--www-root=/x", "--bogus=1"}),
       "Unexpected parameter --bogus. " + extractPossible},
      {{"--run-application-script", "--application-full-name=a", "--script-filename=f",
        "--script-name=n", "--user-name=u"},
       "Missing required parameter --fsa-xml-file. Possible parameters:\n    --application-full-name\n"
       "    --script-filename\n    --script-name\n    --user-name\n    --fsa-xml-file"},
      {command("--extract-application", {"--www-root=/x", "--metadata-file="}),
       "Parameter --metadata-file names no file", "Params::getFileName"},
      {command("--update-application-permissions", {"--www-root=/x", "--metadata-file"}),
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
