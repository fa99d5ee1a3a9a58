// Whole-process tests of a configuration script's confinement: the real binary, the real
// impersonation service, the host's PHP and Perl, created site users (as root). A script reaches
// its own site, the repository and its private TMPDIR, nothing of another site's or the host's
// private places; its run stops at its limits with the limit named; set-uid bits give it nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "tests/service/service_process.h"
#include "tests/support/testing.h"

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

constexpr char kPerlProbe[] = R"(#!/usr/bin/perl
print "perl own site read ", (open(my $a, '<', "$ENV{SITE}/index.php") ? "ok" : "denied"), "\n";
print "perl other site read ", (open(my $b, '<', $ENV{OTHER}) ? "ok" : "denied"), "\n";
exit 1;
)";

class ScriptSandbox : public ::testing::Test {
protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "running scripts as a site user needs root";
    if (::access("/usr/bin/php", X_OK) != 0) GTEST_SKIP() << "/usr/bin/php is missing (./test.sh installs php-cli)";
    ASSERT_TRUE(user_.ok() && other_.ok()) << "cannot create the test accounts";
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    std::filesystem::create_directories(dir_.file("c/php"));
    ASSERT_EQ(::symlink("/usr/bin/php", dir_.file("c/php/php.exe").c_str()), 0);
    // A set-uid-root program in the processor's directory, where the script may run programs.
    std::filesystem::copy_file("/usr/bin/id", dir_.file("c/php/id"));
    ASSERT_EQ(::chmod(dir_.file("c/php/id").c_str(), 04755), 0);
    writeFile(site_ + "/index.php", "<?php echo 'own';");
    writeFile(otherConfig_, "<?php $password = 'secret';");
    ASSERT_EQ(::chown(site_.c_str(), user_.uid(), user_.gid()), 0);
    ASSERT_EQ(::chown(std::filesystem::path(otherConfig_).parent_path().c_str(), other_.uid(), other_.gid()), 0);
    writeFile(dir_.file("c/repo/app/htdocs/readme.txt"), "repository");
    writeFile(dir_.file("c/repo/app/scripts/install.php"), kProbe);
    writeFile(dir_.file("c/repo/app/scripts/upgrade.php"),
              "<?php ini_set('memory_limit', '-1'); $a = str_repeat('x', 1 << 30); echo strlen($a);");
    writeFile(dir_.file("c/repo/app/scripts/remove.php"), "<?php sleep(600);");
    for (const auto& [name, text] : {std::pair{"configure.pl", kPerlProbe},
                                     std::pair{"enable.pl", "#!/usr/bin/perl\nfor (1..1000) { my $p = fork();"
                                                            " die \"fork: $!\\n\" unless defined $p;"
                                                            " if (!$p) { sleep 600; exit 0 } }\n"}}) {
      writeFile(dir_.file(std::string("c/repo/app/scripts/") + name), text);
      ASSERT_EQ(::chmod(dir_.file(std::string("c/repo/app/scripts/") + name).c_str(), 0755), 0);
    }
    writeRegistry("");
    service_ = std::make_unique<ServiceProcess>(
        registry_, dir_.file("run/pipe/ZRC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}"), "tavrix-impersonation-service");
  }

  void TearDown() override { std::filesystem::remove(outside_); }

  void writeRegistry(const std::string& sandboxValues) {
    writeFile(registry_, "Windows Registry Editor Version 5.00\n\n"
                         "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") + "\"\n"
                         "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + dir_.file("c") + "\"\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                         "\"HTTPD_VHOSTS_D\"=\"C:\\\\vhosts\"\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config\\Packages\\script.php]\n"
                         "@=\"php\"\n\"InstallDir\"=\"C:\\\\php\"\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Sandbox]\n" + sandboxValues);
  }

  ProcessResult tavrix(const std::string& processor, const std::string& script) {
    writeFile(dir_.file("request.xml"),
              "<fsa-run-application-script><script-processor>" + processor + "</script-processor><environment>"
              "<variable name='SITE' value='" + site_ + "'/><variable name='REPO' value='" + dir_.file("c/repo/app") +
              "'/><variable name='OTHER' value='" + otherConfig_ + "'/><variable name='OUTSIDE' value='" + outside_ +
              "'/><variable name='RUN' value='" + dir_.file("run") + "'/><variable name='SETUID_ID' value='" +
              dir_.file("c/php/id") + "'/></environment></fsa-run-application-script>");
    return runProcess({binary("tavrix"), "--run-application-script", "--application-full-name=file:///C:\\repo\\app",
                       "--script-filename=" + script, "--script-name=" + script, "--user-name=" + user_.name(),
                       "--fsa-xml-file=" + dir_.file("request.xml")},
                      {{"TAVRIX_REGISTRY", registry_}});
  }

  TempDir dir_;
  std::string registry_ = dir_.file("registry.reg");
  std::string site_ = dir_.file("c/vhosts/own.example/httpdocs");
  std::string otherConfig_ = dir_.file("c/vhosts/other.example/httpdocs/config.php");
  std::string outside_ = "/tmp/tavrix-sandbox-test-" + std::to_string(::getpid());
  ScopedUser user_, other_;
  std::unique_ptr<ServiceProcess> service_;
};

TEST_F(ScriptSandbox, ScriptReachesItsOwnSiteOnly) {
  ProcessResult php = tavrix("php", "install");
  EXPECT_EQ(php.exitCode, 1);
  EXPECT_EQ(php.out.substr(0, php.out.find("\n   at ")), "own site read ok\nrepository read ok\nown site write ok\n"
                                                          "TMPDIR write ok\nother site read denied\n/tmp write denied\n"
                                                          "/root list denied\nrun directory list denied\n"
                                                          "set-uid euid " + std::to_string(user_.uid()) + "\n");
  EXPECT_EQ(readFile(site_ + "/config.php"), "<?php\n");
  EXPECT_FALSE(std::filesystem::exists(outside_));

  ProcessResult perl = tavrix("binary", "configure");
  EXPECT_EQ(perl.out.substr(0, perl.out.find("\n   at ")), "perl own site read ok\nperl other site read denied\n");
}

TEST_F(ScriptSandbox, RunStopsAtItsLimitWithNothingLeft) {
  const struct {
    const char* processor;
    const char* script;
    const char* limits;
    const char* message;
  } cases[] = {
      {"php", "upgrade", "\"MemoryLimitMiB\"=dword:00000100\n", "The run was stopped at its memory limit of 256 MiB"},
      {"binary", "enable", "\"TaskLimit\"=dword:00000064\n", "The run reached its limit of 100 tasks"},
      {"php", "remove", "\"WallTimeSeconds\"=dword:00000005\n", "The run was killed at its wall-clock limit of 5 s"},
  };
  for (const auto& c : cases) {
    writeRegistry(c.limits);
    ProcessResult ran = tavrix(c.processor, c.script);
    EXPECT_EQ(ran.exitCode, 1) << c.script;
    EXPECT_NE(ran.out.find(c.message), std::string::npos) << c.script << ": " << ran.out;
    EXPECT_EQ(liveProcessesOf(user_.uid()), std::vector<std::string>{}) << c.script;
  }
}

} // namespace
