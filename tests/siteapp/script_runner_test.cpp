// The script request's text work, and --run-application-script's operation against the real
// impersonation and management services, the host's PHP and Perl, and created accounts (as
// root). The cut of a large output is the impersonation client's (tests/runtime/process/sid_client_test.cpp): the runner keeps its limit.
#include "siteapp/script_runner.h"
#include "siteapp/script_request.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <tuple>

#include <gtest/gtest.h>

#include "os/text.h"
#include "runtime/core/command_line.h"
#include "runtime/log/log_manager.h"
#include "runtime/process/pipe_client.h"
#include "runtime/security/user_information.h"
#include "tests/support/service_process.h"
#include "tests/support/failure.h"
#include "tests/support/log_lines.h"

using namespace testing_support;

namespace {

std::u16string w(const std::string& s) { return os::utf16FromUtf8(s); }

// The script request file, the environment block and the command line: pure text work, checked
// against tables.

// "processor / NAME=value;... / [params] (or -)", or "! message @function" of the failure.
std::string described(const std::string& path) {
  std::string text;
  const Failure failed = failureOf([&] {
    ScriptRequest request = loadScriptRequest(os::utf16FromUtf8(path));
    text = u8(request.processorName) + " /";
    for (const auto& [name, value] : request.environment) text += " " + u8(name) + "=" + u8(value) + ";";
    text += " / " + (request.scriptParams ? "[" + u8(*request.scriptParams) + "]" : "-");
  });
  return failed.message.empty() ? text : "! " + failed.message + " @" + failed.context;
}

TEST(ScriptRequest, FileContentGivesProcessorVariablesAndParameters) {
  TempDir dir;
  const std::string root = "<fsa-run-application-script>", end = "</fsa-run-application-script>";
  const std::pair<std::string, std::string> cases[] = {
      {root + "<script-processor/><script-params/>" + end, " / / []"},
      // Only the first child's text counts; a later variable of the same name wins; an empty
      // name is skipped, a missing value is empty; names keep their case.
      {root + "<script-processor>perl<!--c-->x</script-processor><environment>"
              "<variable name='db' value='1'/><variable name='db' value='2'/><variable name='' value='x'/>"
              "<variable value='y'/><variable name='Db'/><variable name='p' value='a &amp; &quot;b&quot;'/>"
              "</environment><script-params>-x \"y z\"</script-params>" + end,
       "perl / Db=; db=2; p=a & \"b\"; / [-x \"y z\"]"},
      // Only the paths named are read; a comment as first child gives its own text.
      {root + "<environment><variable name='a' value='1'/></environment><variable name='b' value='2'/>"
              "<other><script-processor>no</script-processor></other><script-processor><!--first-->php</script-processor>" + end,
       "first / a=1; / -"},
      {"<other><script-processor>php</script-processor></other>",
       "! Internal error: unable to find script-processor element. @SiteApplicationManager::fsaRunApplicationScript"},
  };
  for (const auto& [xml, expected] : cases) {
    writeFile(dir.file("request.xml"), xml);
    EXPECT_EQ(described(dir.file("request.xml")), expected) << xml;
  }
  // A file that does not load fails the request with the loader's message (its kinds are
  // tests/xml's VxmlLoad table).
  EXPECT_NE(described(dir.file("missing.xml")).find(" at load " + dir.file("missing.xml")), std::string::npos);
}

TEST(ScriptRequest, EnvironmentBlockAndCommandLine) {
  // The block's entries "NAME=value" each ended by a NUL, and one more NUL: written with '|'
  // for NUL below. Names are upper-cased, merged and sorted: the ASCII names, an empty value and
  // which value wins are the script runner's RunsAsTheSiteUserWithOnlyTheRequestsEnvironmentAndNoShell.
  const std::pair<ScriptEnvironment, std::u16string> cases[] = {
      {{}, u"|"},
      {{{u"caf\u00e9", u"x=\u00e9"}}, u"CAF\u00c9=x=\u00e9||"},
  };
  for (auto [environment, block] : cases) {
    std::replace(block.begin(), block.end(), u'|', u'\0');
    EXPECT_EQ(scriptEnvironmentBlock(environment), block);
  }
  // A program in quotes is taken as it is; anything else, a lone quote included, is quoted.
  const std::pair<std::u16string, std::u16string> lines[] = {
      {u"\"C:\\php 8\\php.exe\"", u"\"C:\\php 8\\php.exe\" -q"}, {u"C:\\php.exe", u"\"C:\\php.exe\" -q"},
      {u"", u"\"\" -q"}, {u"\"", u"\"\"\" -q"}};
  for (const auto& [program, line] : lines) EXPECT_EQ(u8(scriptCommandLine(program, u"-q")), u8(line));
  // The argument string (the action word, a blank, the parameters) is what the script's
  // arguments show: RunsAsTheSiteUser... and OutcomesOfTheCommand. A blank left at its end, or
  // not, no reader can tell: the service's split of the command line drops it.
}


// A drive C: with the panel's PHP package (C:\php) and perl component (C:\perl) linked to the
// host's interpreters, the application "file:///C:\repo\<app>", both services, and a site user
// with a primary and a supplementary group.
class ScriptRunner : public ::testing::Test {
protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "running scripts as a site user needs root";
    for (const auto& [host, link] : {std::pair{"/usr/bin/php", "/php/php.exe"}, {"/usr/bin/perl", "/perl/bin/perl.exe"}}) {
      if (::access(host, X_OK) != 0) GTEST_SKIP() << host << " is missing (./test.sh installs php-cli)";
      std::filesystem::create_directories(std::filesystem::path(c_ + link).parent_path());
      ASSERT_EQ(::symlink(host, (c_ + link).c_str()), 0);
    }
    ASSERT_TRUE(primary_.ok() && extra_.ok() && user_.ok()) << "cannot create the test accounts";
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    // The package's ini file, a host path; the host's own configuration loads the extensions.
    writeFile(dir_.file("php.ini"), "display_errors = stderr\n");
    // The ANSI code page is Windows-1252: the request's values are re-encoded for the script.
    registry_.write("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") + "\"\n"
                    "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + c_ + "\"\n"
                    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\n\"ACP\"=\"1252\"\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config\\Packages\\script.php82]\n"
                    "@=\"php\"\n\"InstallDir\"=\"C:\\\\php\"\n\"IniFilePath\"=\"" + dir_.file("php.ini") + "\"\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Components\\perl]\n\"InstallDir\"=\"C:\\\\perl\"\n"
                    // The scripts here read an ini file outside any site.
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Sandbox]\n\"ExtraReadPaths\"=\"" + dir_.file("php.ini") + "\"\n");
    impersonation_ = std::make_unique<ServiceProcess>(
        registry_.path(), dir_.file("run/pipe/ZRC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}"),
        "tavrix-impersonation-service");
    management_ = std::make_unique<ServiceProcess>(registry_.path(), dir_.file("run/pipe/zrcpipe"));
    LogManager::instance().addListener(log_);
    manager_.setUserName(w(user_.name()));
    useApplication("my app");
  }
  void TearDown() override { RunTime::PipeClient().disconnect(); }

  // The application directory's name under C:\repo; its scripts directory is made.
  void useApplication(const std::string& name) {
    scripts_ = c_ + "/repo/" + name + "/scripts";
    std::filesystem::create_directories(scripts_);
    manager_.setApplicationFullName(w("file:///C:\\repo\\" + name));
  }
  void script(const std::string& fileName, const std::string& text) { writeFile(scripts_ + "/" + fileName, text); }
  // The request file: processor, variables (name, value) and the script-params element (none
  // when `params` is "-").
  void request(const std::string& processor, const std::vector<std::pair<std::string, std::string>>& variables = {},
               const std::string& params = "-") {
    std::string xml = "<fsa-run-application-script><script-processor>" + processor + "</script-processor><environment>";
    for (const auto& [name, value] : variables) xml += "<variable name='" + name + "' value='" + value + "'/>";
    xml += "</environment>";
    if (params != "-") xml += "<script-params><![CDATA[" + params + "]]></script-params>";
    writeFile(dir_.file("request.xml"), xml + "</fsa-run-application-script>");
  }
  // Empty on success, else "message @function" of the failure.
  std::string run(const std::string& scriptFileName, const std::string& scriptName) {
    const Failure failed = failureOf([&] {
      ApplicationScriptRunner(manager_).fsaRunApplicationScript(w(scriptFileName), w(scriptName),
                                                                w(dir_.file("request.xml")));
    });
    return failed.message.empty() ? "" : failed.message + " @" + failed.context;
  }

  TempDir dir_;
  std::string c_ = dir_.file("c");
  std::string scripts_;
  ScopedRegistry registry_;
  ScopedGroup primary_;
  ScopedGroup extra_;
  ScopedUser user_{primary_, {&extra_}};
  std::unique_ptr<ServiceProcess> impersonation_;
  std::unique_ptr<ServiceProcess> management_;
  SiteApplicationManager manager_{std::make_shared<LocalUserInformation>()};
  std::shared_ptr<LogLines> log_ = std::make_shared<LogLines>();
  // The Info lines logged since the last call, without their level word and the services' own.
  std::vector<std::string> infoLines() {
    std::vector<std::string> lines;
    for (const std::string& line : log_->take())
      if (line.starts_with("Info: ") && !line.starts_with("Info: Kelvo")) lines.push_back(line.substr(6));
    return lines;
  }
};

// The script runs as the site user with its groups, in its scripts directory, with the request's
// environment and nothing of the tool's; the script path and every argument reach it exactly,
// with no shell on the way. (The user's effective id is tests/e2e Script.ExitCodeAndMessage...'s;
// every processor's script and arguments are the one text the service splits, and Perl's own
// path is OutcomesOfTheCommand's, in a directory with a blank.)
TEST_F(ScriptRunner, RunsAsTheSiteUserWithOnlyTheRequestsEnvironmentAndNoShell) {
  const ScopedEnv toolOnly("TAVRIX_TOOL_ONLY", "1");
  const std::string marker = dir_.file("shell-ran");
  useApplication("my app & $(touch " + marker + ") | x; 'q' `id`");
  const std::vector<std::u16string> arguments = {u"a b", u"x&y|z;w", w("$(touch " + marker + ")"), u"\"q\" 'r'",
                                                 u"back\\slash\\", w("`touch " + marker + "`"), u""};
  std::string lines;
  for (const std::u16string& a : arguments) lines += u8(a) + "\n";
  script("install.php", "<?php\n"
                        "$groups = posix_getgroups(); sort($groups);\n"
                        "echo posix_getuid(), ' ', posix_getgid(), ' ', implode(',', $groups), \"\\n\", getcwd(), \"\\n\";\n"
                        "foreach ($argv as $a) echo $a, \"\\n\";\n"
                        "$env = getenv(); ksort($env);\n"
                        "foreach ($env as $k => $v) echo $k, '=', $v, \"\\n\";\n"
                        "fwrite(STDERR, \"warned\\n\");\n");
  const std::string params = u8(joinCommandLine(arguments));
  request("php",
          {{"db_pass", "second"}, {"DB_PASS", "third"}, {"Db_Pass", "first"}, {"admin_name", "caf\xc3\xa9"}, {"empty", ""}},
          params);
  EXPECT_EQ(run("install", "Install"), "");
  // Each line of the output marked as the script's.
  const auto marked = [](const std::string& output) {
    return "Configuration script returns:\nscript output: " +
           std::regex_replace(output.substr(0, output.size() - 1), std::regex("\n"), "\nscript output: ");
  };
  const std::vector<std::string> expected = {
      "Calling C:\\php\\php.exe -c " + dir_.file("php.ini") + " -dvariables_order=EGPCS -dopen_basedir= -q \"" +
          scripts_ + "/install.php\" Install " + params + "\n",
      marked(std::to_string(user_.uid()) + " " + std::to_string(primary_.gid()) + " " +
             std::to_string(std::min(primary_.gid(), extra_.gid())) + "," +
             std::to_string(std::max(primary_.gid(), extra_.gid())) + "\n" + scripts_ + "\n" + scripts_ +
             "/install.php\nInstall\n" + lines +
             // Re-encoded: the value's UTF-8 bytes read as Windows-1252, then sent as UTF-8.
             "ADMIN_NAME=caf\xc3\x83\xc2\xa9\nDB_PASS=second\nEMPTY=\n"
             // The run's private temporary directory, and nothing else of the host's.
             "TMPDIR=/tmp/tavrix-run-X\n"
             // Its standard error as well.
             "warned\n")};
  std::vector<std::string> log = infoLines();
  for (std::string& line : log) line = std::regex_replace(line, std::regex("tavrix-run-\\w{6}"), "tavrix-run-X");
  EXPECT_EQ(log, expected);
  EXPECT_FALSE(std::filesystem::exists(marker));
}

// A failed script's output as the message is tests/e2e Script.ExitCodeAndMessageFollowTheScript's,
// an unknown processor ScriptProcessor.EachProcessorNameGivesItsProgramAndArguments'.
TEST_F(ScriptRunner, OutcomesOfTheCommand) {
  script("args.pl", "print join('|', @ARGV);");
  const std::string runScript = " @SiteApplicationManager::fsaRunApplicationScript",
                    actions = "Requested action can be one of values install, configure, upgrade, remove, enable, disable, query",
                    outside = "Path (..\\app\\scripts\\..\\..\\other\\x.*) is outside of (C:\\repo\\my app\\scripts)";
  // Processor, script-params ("-": none), script file name, action, error, Info lines.
  const std::tuple<std::string, std::string, std::string, std::string, std::string, std::vector<std::string>> cases[] = {
      {"PHP", "-", "nothing", "remove", "", {"Script 'remove' doesn't exist"}},
      // An empty action passes no check and no action word.
      {"perl", "a b", "args", "", "", {"Configuration script returns:\nscript output: a|b"}},
      {"perl", "", "args", "QUERY", "", {"Configuration script returns:\nscript output: QUERY"}},
      {"perl", "-", "args", "run", actions + " @SiteApplicationManager::fsaCheckScript", {}},
      {"php", "-", "..\\app\\scripts\\..\\..\\other\\x", "install", outside + runScript, {}},
  };
  for (const auto& [processor, params, fileName, scriptName, error, expected] : cases) {
    request(processor, {}, params);
    EXPECT_EQ(run(fileName, scriptName), error) << fileName;
    std::vector<std::string> log = infoLines();
    std::erase_if(log, [](const std::string& line) { return line.starts_with("Calling "); });
    EXPECT_EQ(log, expected) << fileName;
  }
  manager_.setApplicationFullName(u"");
  EXPECT_EQ(run("args", "install"), "Invalid script directory" + runScript);
}

} // namespace
