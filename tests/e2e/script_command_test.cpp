// Whole-process tests of --run-application-script: the real binary, the real impersonation
// service, the host's PHP, a created site user (as root).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <memory>
#include <regex>

#include <gtest/gtest.h>

#include "os/text.h"
#include "tests/service/service_process.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

class ScriptCommand : public ::testing::Test {
protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "running scripts as a site user needs root";
    if (::access("/usr/bin/php", X_OK) != 0) GTEST_SKIP() << "/usr/bin/php is missing (./test.sh installs php-cli)";
    ASSERT_TRUE(user_.ok()) << "cannot create the test account";
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    std::filesystem::create_directories(dir_.file("c/php"));
    std::filesystem::create_directories(dir_.file("product/admin/logs"));
    ASSERT_EQ(::symlink("/usr/bin/php", dir_.file("c/php/php.exe").c_str()), 0);
    writeFile(registry_, "Windows Registry Editor Version 5.00\n\n"
                         "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") + "\"\n"
                         "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + dir_.file("c") + "\"\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                         "\"PRODUCT_ROOT_D\"=\"" + dir_.file("product") + "\"\n\"Debug\"=dword:00000001\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config\\Packages\\script.php]\n"
                         "@=\"php\"\n\"InstallDir\"=\"C:\\\\php\"\n");
    service_ = std::make_unique<ServiceProcess>(
        registry_, dir_.file("run/pipe/ZRC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}"), "tavrix-impersonation-service");
    writeFile(dir_.file("request.xml"), "<fsa-run-application-script><script-processor>php</script-processor>"
                                        "<environment><variable name='greeting' value='hello'/></environment>"
                                        "</fsa-run-application-script>");
    writeFile(dir_.file("c/repo/app/scripts/install.php"), "<?php echo getenv('GREETING'), ' from ', $argv[1];");
    writeFile(dir_.file("c/repo/app/scripts/remove.php"), "<?php echo \"cannot remove:\\n  tables in use\"; exit(3);");
  }

  ProcessResult tavrix(const std::string& scriptFileName, const std::string& scriptName) {
    return runProcess({binary("tavrix"), "--run-application-script", "--application-full-name=file:///C:\\repo\\app",
                       "--script-filename=" + scriptFileName, "--script-name=" + scriptName,
                       "--user-name=" + user_.name(), "--fsa-xml-file=" + dir_.file("request.xml")},
                      {{"TAVRIX_REGISTRY", registry_}});
  }

  // The Info messages of today's debug log file, which is then removed.
  std::vector<std::string> logged() {
    char date[16];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y%m%d", std::localtime(&now));
    const std::string file = dir_.file("product/admin/logs/kelvolog_debug") + date + ".log";
    const std::string log = os::utf8FromUtf16(os::utf16FromLittleEndian(readFile(file).substr(2)));
    std::filesystem::remove(file);
    const std::regex line(R"(\d+ \d+ Info: ([^\r]*(?:\r?\n[^\r\d][^\r]*)*)\r\n)");
    std::vector<std::string> messages;
    for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) messages.push_back((*it)[1]);
    return messages;
  }

  TempDir dir_;
  std::string registry_ = dir_.file("registry.reg");
  ScopedUser user_;
  std::unique_ptr<ServiceProcess> service_;
};

TEST_F(ScriptCommand, SuccessLogsTheOutputAndFailureReportsIt) {
  ProcessResult ok = tavrix("install", "install");
  EXPECT_EQ(ok.exitCode, 0) << ok.out;
  EXPECT_EQ(ok.out, "");
  const std::vector<std::string> messages = logged();
  EXPECT_NE(std::find(messages.begin(), messages.end(), "Configuration script returns: hello from install\n"),
            messages.end());

  ProcessResult missing = tavrix("upgrade", "upgrade");
  EXPECT_EQ(missing.exitCode, 0) << missing.out;
  EXPECT_EQ(missing.out, "");
  // Nothing ran.
  const std::vector<std::string> notRun = logged();
  EXPECT_NE(std::find(notRun.begin(), notRun.end(), "Script 'upgrade' doesn't exist"), notRun.end());
  EXPECT_TRUE(std::none_of(notRun.begin(), notRun.end(), [](const std::string& m) { return m.starts_with("Calling"); }));

  // The script's own text is the error; the records under it name where it was raised.
  ProcessResult failed = tavrix("remove", "remove");
  EXPECT_EQ(failed.exitCode, 1);
  const std::string out = std::regex_replace(failed.out, std::regex(" line [0-9]+\\)"), " line N)");
  EXPECT_EQ(out.substr(0, out.find("\n   at Unable to execute console command")),
            "cannot remove:\n  tables in use\n   at (SiteApplicationManager::fsaExecuteScript line N)");
}

} // namespace
