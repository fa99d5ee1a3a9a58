// Whole-process tests of --run-application-script: the real binary, the real impersonation
// service, the host's PHP and Perl, created site users (as root). A script reaches its own site,
// the repository, its private TMPDIR and the places the operator adds, nothing of another site's
// or the host's private places; its run is the script and everything it started, stops at its
// limits with the limit named, and set-uid bits give it nothing. Its output is the error of a
// failed run, and is marked as the script's in the log.
#include <memory>

#include <gtest/gtest.h>

#include "tests/e2e/host.h"
#include "tests/support/service_process.h"

using namespace testing_support;

namespace {

constexpr char kProbe[] = R"(<?php
function probe($what, $ok) { echo "$what ", $ok ? "ok" : "denied", "\n"; }
$site = getenv('SITE');
probe('own site read', @file_get_contents("$site/index.php") !== false);
probe('repository read', @file_get_contents(getenv('REPO') . '/htdocs/readme.txt') !== false);
probe('own site write', @file_put_contents("$site/config.php", "<?php\n") !== false);
probe('TMPDIR write', @file_put_contents(getenv('TMPDIR') . '/t', 'x') !== false);
probe('other site read', @file_get_contents(getenv('OTHER')) !== false);
probe('/tmp write', @file_put_contents(getenv('OUTSIDE'), 'x') !== false);
probe('/root list', @scandir('/root') !== false);
probe('run directory list', @scandir(getenv('RUN')) !== false);
echo 'set-uid euid ', trim(shell_exec(getenv('SETUID_ID') . ' -u')), "\n";
exit(1);
)";

constexpr char kForged[] = "2026-12-06 10:00:00.000 123 456 Info: forged";

class Script : public Host {
protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "running scripts as a site user needs root";
    if (::access("/usr/bin/php", X_OK) != 0) GTEST_SKIP() << "/usr/bin/php is missing (./test.sh installs php-cli)";
    ASSERT_TRUE(user_.ok() && other_.ok()) << "cannot create the test accounts";
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    for (const char* dir : {"c/php", "out"}) std::filesystem::create_directories(dir_.file(dir));
    ASSERT_EQ(::chmod(dir_.file("out").c_str(), 0777), 0);
    ASSERT_EQ(::symlink("/usr/bin/php", dir_.file("c/php/php.exe").c_str()), 0);
    writeFile(dir_.file("c/conf/site.ini"), "memory_limit = 77M\n");
    // A set-uid-root program in the processor's directory, where the script may run programs.
    std::filesystem::copy_file("/usr/bin/id", dir_.file("c/php/id"));
    ASSERT_EQ(::chmod(dir_.file("c/php/id").c_str(), 04755), 0);
    writeFile(site_ + "/index.php", "<?php echo 'own';");
    writeFile(otherConfig_, "<?php $password = 'secret';");
    ASSERT_EQ(::chown(site_.c_str(), user_.uid(), user_.gid()), 0);
    ASSERT_EQ(::chown(std::filesystem::path(otherConfig_).parent_path().c_str(), other_.uid(), other_.gid()), 0);
    writeFile(dir_.file("c/repo/app/htdocs/readme.txt"), "repository");
    // The scripts of two packages: one probes its reach and its limits, the other its output.
    const std::string app = dir_.file("c/repo/app/scripts/"), cmd = dir_.file("c/repo/cmd/scripts/");
    const std::pair<std::string, std::string> scripts[] = {
        {app + "install.php", kProbe},
        {app + "upgrade.php", "<?php ini_set('memory_limit', '-1'); $a = str_repeat('x', 1 << 30); echo strlen($a);"},
        {app + "remove.php", "<?php sleep(600);"},
        {app + "enable.pl", "#!/usr/bin/perl\nfor (1..1000) { my $p = fork(); die \"fork: $!\\n\""
                            " unless defined $p; if (!$p) { sleep 600; exit 0 } }\n"},
        // The background sleep holds the script's output pipe open.
        {app + "disable.sh", "#!/bin/sh\nsleep 600 &\necho started\n"},
        // What a real install script uses: the host's extensions (posix, mbstring, PDO SQLite) and
        // the package's ini file.
        {cmd + "install.php",
         "<?php $db = new PDO('sqlite:" + dir_.file("out/app.db") + "');\n"
         "$db->exec(\"CREATE TABLE t (v TEXT); INSERT INTO t VALUES ('stored')\");\n"
         "file_put_contents('" + dir_.file("out/ran") + "', getenv('GREETING') . ' from ' . $argv[1] . ' as ' .\n"
         "  posix_getpwuid(posix_geteuid())['name'] . ': ' . mb_strlen('h\xc3\xa9llo') . ' ' .\n"
         "  $db->query('SELECT v FROM t')->fetchColumn() . ' ' . ini_get('memory_limit'));"},
        // A failing script that also writes a line made up as one of the log's own.
        {cmd + "remove.php", "<?php echo \"cannot remove:\\r\\n" + std::string(kForged) + "\\x07\\n  tables in use\"; exit(3);"},
    };
    for (const auto& [file, text] : scripts) {
      writeFile(file, text);
      ASSERT_EQ(::chmod(file.c_str(), text.starts_with("#!") ? 0755 : 0644), 0);
    }
    writeLimits("");
    service_ = std::make_unique<ServiceProcess>(registry_, dir_.file(kImpersonationPipe), "tavrix-impersonation-service");
  }

  void TearDown() override { std::filesystem::remove(outside_); }

  void writeLimits(const std::string& limits) {
    writeRegistry("\"HTTPD_VHOSTS_D\"=\"C:\\\\vhosts\"\n\"Debug\"=dword:00000001\n",
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config\\Packages\\script.php]\n"
                  "@=\"php\"\n\"InstallDir\"=\"C:\\\\php\"\n\"IniFilePath\"=\"C:\\\\conf\\\\site.ini\"\n"
                  // out/ is no site directory and conf/ no program's: the script reaches them only by these.
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Sandbox]\n\"ExtraWritePaths\"=\"" + dir_.file("out") +
                      "\"\n\"ExtraReadPaths\"=\"" + dir_.file("c/conf") + "\"\n" + limits);
  }

  ProcessResult tavrix(const std::string& processor, const std::string& script, const std::string& package = "app") {
    std::string variables = "<variable name='greeting' value='hello'/>";
    for (const auto& [name, value] : {std::pair{"SITE", site_}, {"REPO", dir_.file("c/repo/app")}, {"OTHER", otherConfig_},
                                      {"OUTSIDE", outside_}, {"RUN", dir_.file("run")}, {"SETUID_ID", dir_.file("c/php/id")}})
      variables += "<variable name='" + std::string(name) + "' value='" + value + "'/>";
    writeFile(dir_.file("request.xml"), "<fsa-run-application-script><script-processor>" + processor +
                                            "</script-processor><environment>" + variables +
                                            "</environment></fsa-run-application-script>");
    return runTool(registry_, {"--run-application-script", "--application-full-name=file:///C:\\repo\\" + package,
                               "--script-filename=" + script, "--script-name=" + script, "--user-name=" + user_.name(),
                               "--fsa-xml-file=" + dir_.file("request.xml")});
  }

  std::string site_ = dir_.file("c/vhosts/own.example/httpdocs");
  std::string otherConfig_ = dir_.file("c/vhosts/other.example/httpdocs/config.php");
  std::string outside_ = "/tmp/tavrix-sandbox-test-" + std::to_string(::getpid());
  ScopedUser user_, other_;
  std::unique_ptr<ServiceProcess> service_;
};

TEST_F(Script, ExitCodeAndMessageFollowTheScript) {
  // Success prints nothing (the output goes to the log at Info; that a missing script is no
  // failure is ScriptRunner.OutcomesOfTheCommand's).
  ProcessResult ok = tavrix("php", "install", "cmd");
  EXPECT_EQ(ok.exitCode, 0) << ok.out;
  EXPECT_EQ(ok.out, "");
  EXPECT_EQ(readFile(dir_.file("out/ran")), "hello from install as " + user_.name() + ": 5 stored 77M");

  // The script's own text is the error; the records under it name where it was raised.
  ProcessResult failed = tavrix("php", "remove", "cmd");
  EXPECT_EQ(failed.exitCode, 1);
  const std::string out = withoutLineNumbers(failed.out);
  EXPECT_EQ(out.substr(0, out.find("\n   at Unable to execute console command")),
            "cannot remove:\r\n" + std::string(kForged) +
                "\x07\n  tables in use\n   at (SiteApplicationManager::fsaExecuteScript line N)");

  // In the log every line of it is marked as the script's, its control characters escaped, in
  // the failure's record and (the one other place the forged line shows) the Info record of the
  // output, whose text is ScriptRunner.RunsAsTheSiteUserWithOnlyTheRequestsEnvironmentAndNoShell's.
  const std::string marked = "script output: cannot remove:\nscript output: " + std::string(kForged) +
                             "\\x07\nscript output:   tables in use";
  const std::string log = takeLog();
  EXPECT_NE(log.find(" Error: " + marked + "\n   at (SiteApplicationManager::fsaExecuteScript line "),
            std::string::npos)
      << log;
  EXPECT_EQ(occurrences(log, "forged"), 2u) << log;
}

TEST_F(Script, ScriptReachesItsOwnSiteOnly) {
  ProcessResult php = tavrix("php", "install");
  EXPECT_EQ(php.exitCode, 1);
  EXPECT_EQ(php.out.substr(0, php.out.find("\n   at ")), "own site read ok\nrepository read ok\nown site write ok\n"
                                                          "TMPDIR write ok\nother site read denied\n/tmp write denied\n"
                                                          "/root list denied\nrun directory list denied\n"
                                                          "set-uid euid " + std::to_string(user_.uid()) + "\n");
  EXPECT_EQ(readFile(site_ + "/config.php"), "<?php\n");
  EXPECT_FALSE(std::filesystem::exists(outside_));
}

TEST_F(Script, ARunEndsWithNothingLeftAtItsEndOrItsLimit) {
  const struct { const char *processor, *script, *limits; int exitCode; const char* message; } cases[] = {
      {"binary", "disable", "", 0, ""},
      {"php", "upgrade", "\"MemoryLimitMiB\"=dword:00000100\n", 1, "The run was stopped at its memory limit of 256 MiB"},
      {"binary", "enable", "\"TaskLimit\"=dword:00000064\n", 1, "The run reached its limit of 100 tasks"},
      {"php", "remove", "\"WallTimeSeconds\"=dword:00000005\n", 1, "The run was killed at its wall-clock limit of 5 s"},
  };
  for (const auto& c : cases) {
    writeLimits(c.limits);
    ProcessResult ran = tavrix(c.processor, c.script);
    EXPECT_EQ(ran.exitCode, c.exitCode) << c.script << ": " << ran.out;
    EXPECT_NE(ran.out.find(c.message), std::string::npos) << c.script << ": " << ran.out;
    EXPECT_EQ(liveProcessesOf(user_.uid()), std::vector<std::string>{}) << c.script;
  }
}

} // namespace
