// Whole-process tests of the command line: the real binary, its output and exit code.
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

// The command line's checks: nothing here reaches a service.
class Commands : public Host {
protected:
  Commands() { writeRegistry(""); }
};

// That printing the usage writes nothing of the host is Operator.VersionHelpAndUsageErrorsWriteNothing's.
TEST_F(Commands, UsageWithoutArgumentsAndForHelp) {
  for (const auto& args : {std::vector<std::string>{}, {"--help"}, {"--help", "--x=1", "junk"}}) {
    ProcessResult r = runTool(registry_, args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, kUsage);
  }
}

// A command or parameter the tool does not take: the message, where it was raised, and the
// command line with its secrets masked. (An unexpected parameter's message is Params.ParsingRules',
// from the same check that names a missing one here.)
TEST_F(Commands, UnknownCommandsAndParametersAreNamed) {
  struct Case { std::vector<std::string> args; std::string message; std::string where = "Params::check"; };
  // A command with the parameters that every one takes but --www-root, and `more`.
  const auto command = [](const std::string& name, std::vector<std::string> more) {
    more.insert(more.begin(), {name, "--application-full-name=a", "--user-name=u", "--application-subdirectory=s"});
    return more;
  };
  const Case cases[] = {
      {{"--Help", "--db-password=secret"},
       "command --Help not supported. Possible commands:\n   --help\n   --run-application-script\n"
       "   --extract-application\n   --update-application-permissions\n   --delete-application",
       "vconsoleapp::cmdNotSupported"},
      {command("--extract-application", {"--vhost-path=/x"}),
       "Missing required parameter --www-root. Possible parameters:\n    --application-full-name\n    --www-root\n"
       "    --user-name\n    --application-subdirectory\n    [--metadata-file]"},
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
    ProcessResult r = runTool(registry_, c.args);
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

} // namespace
