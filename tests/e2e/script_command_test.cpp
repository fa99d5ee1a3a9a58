// Whole-process tests of --run-application-script: the real binary, the real impersonation
// service, the host's PHP, a created site user (as root).
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <regex>

#include <gtest/gtest.h>

#include "tests/service/service_process.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

constexpr char kForged[] = "2026-12-06 10:00:00.000 123 456 Info: forged";

class ScriptCommand : public ::testing::Test {
protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "running scripts as a site user needs root";
    if (::access("/usr/bin/php", X_OK) != 0) GTEST_SKIP() << "/usr/bin/php is missing (./test.sh installs php-cli)";
    ASSERT_TRUE(user_.ok()) << "cannot create the test account";
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    std::filesystem::create_directories(dir_.file("c/php"));
    std::filesystem::create_directories(dir_.file("out"));
    std::filesystem::create_directories(dir_.file("product/admin/logs"));
    ASSERT_EQ(::chmod(dir_.file("out").c_str(), 0777), 0);
    ASSERT_EQ(::symlink("/usr/bin/php", dir_.file("c/php/php.exe").c_str()), 0);
    writeFile(registry_, "Windows Registry Editor Version 5.00\n\n"
                         "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") + "\"\n"
                         "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + dir_.file("c") + "\"\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                         "\"PRODUCT_ROOT_D\"=\"" + dir_.file("product") + "\"\n\"Debug\"=dword:00000001\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config\\Packages\\script.php]\n"
                         "@=\"php\"\n\"InstallDir\"=\"C:\\\\php\"\n\"IniFilePath\"=\"C:\\\\conf\\\\site.ini\"\n"
                         // out/ is no site directory and conf/ no program's: the script reaches them only by these.
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Sandbox]\n\"ExtraWritePaths\"=\"" + dir_.file("out") + "\"\n"
                         "\"ExtraReadPaths\"=\"" + dir_.file("c/conf") + "\"\n");
    writeFile(dir_.file("c/conf/site.ini"), "memory_limit = 77M\n");
    service_ = std::make_unique<ServiceProcess>(
        registry_, dir_.file("run/pipe/ZRC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}"), "tavrix-impersonation-service");
    writeFile(dir_.file("request.xml"), "<fsa-run-application-script><script-processor>php</script-processor>"
                                        "<environment><variable name='greeting' value='hello'/></environment>"
                                        "</fsa-run-application-script>");
    // What a real install script uses: the host's extensions (posix, mbstring, PDO SQLite) and the
    // package's ini file.
    writeFile(dir_.file("c/repo/app/scripts/install.php"),
              "<?php $db = new PDO('sqlite:" + dir_.file("out/app.db") + "');\n"
              "$db->exec(\"CREATE TABLE t (v TEXT); INSERT INTO t VALUES ('stored')\");\n"
              "file_put_contents('" + dir_.file("out/ran") + "', getenv('GREETING') . ' from ' . $argv[1] . ' as ' .\n"
              "  posix_getpwuid(posix_geteuid())['name'] . ': ' . mb_strlen('h\xc3\xa9llo') . ' ' .\n"
              "  $db->query('SELECT v FROM t')->fetchColumn() . ' ' . ini_get('memory_limit'));");
    // The failing script also writes a line made up as one of the log's own.
    writeFile(dir_.file("c/repo/app/scripts/remove.php"),
              "<?php echo \"cannot remove:\\r\\n" + std::string(kForged) + "\\x07\\n  tables in use\"; exit(3);");
  }

  ProcessResult tavrix(const std::string& scriptFileName, const std::string& scriptName) {
    return runProcess({binary("tavrix"), "--run-application-script", "--application-full-name=file:///C:\\repo\\app",
                       "--script-filename=" + scriptFileName, "--script-name=" + scriptName,
                       "--user-name=" + user_.name(), "--fsa-xml-file=" + dir_.file("request.xml")},
                      {{"TAVRIX_REGISTRY", registry_}});
  }

  TempDir dir_;
  std::string registry_ = dir_.file("registry.reg");
  ScopedUser user_;
  std::unique_ptr<ServiceProcess> service_;
};

TEST_F(ScriptCommand, ExitCodeAndMessageFollowTheScript) {
  // Success prints nothing (the output goes to the log at Info); so does a missing script.
  for (const char* script : {"install", "upgrade"}) {
    ProcessResult ok = tavrix(script, script);
    EXPECT_EQ(ok.exitCode, 0) << ok.out;
    EXPECT_EQ(ok.out, "");
  }
  EXPECT_EQ(readFile(dir_.file("out/ran")), "hello from install as " + user_.name() + ": 5 stored 77M");

  // The script's own text is the error; the records under it name where it was raised.
  ProcessResult failed = tavrix("remove", "remove");
  EXPECT_EQ(failed.exitCode, 1);
  const std::string out = std::regex_replace(failed.out, std::regex(" line [0-9]+\\)"), " line N)");
  EXPECT_EQ(out.substr(0, out.find("\n   at Unable to execute console command")),
            "cannot remove:\r\n" + std::string(kForged) +
                "\x07\n  tables in use\n   at (SiteApplicationManager::fsaExecuteScript line N)");

  // In the log every line of it is marked as the script's, its control characters escaped.
  const std::string marked = "script output: cannot remove:\nscript output: " + std::string(kForged) +
                             "\\x07\nscript output:   tables in use";
  const std::string log = readDailyLog(dir_.file("product"));
  EXPECT_NE(log.find(" Info: Configuration script returns:\n" + marked + "\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" Error: " + marked + "\n   at (SiteApplicationManager::fsaExecuteScript line "),
            std::string::npos)
      << log;
  std::size_t forged = 0;
  for (std::size_t at = log.find("forged"); at != std::string::npos; at = log.find("forged", at + 1)) ++forged;
  EXPECT_EQ(forged, 2u) << log;
}

} // namespace
