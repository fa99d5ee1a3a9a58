// Whole-process tests of the log file sink: which messages reach the daily file, and its format.
#include <ctime>
#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "os/text.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

class LogFileSink : public ::testing::Test {
protected:
  // Runs tavrix with the given product configuration lines and returns the log file's text
  // (empty when no file was written).
  std::string runWith(const std::string& configLines, const std::vector<std::string>& args) {
    std::filesystem::create_directories(root_ + "/admin/logs");
    writeFile(registry_, "Windows Registry Editor Version 5.00\n\n"
                         "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") +
                         "\"\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                         "\"PRODUCT_ROOT_D\"=\"" + root_ + "\"\n" + configLines);
    std::vector<std::string> argv = {binary("tavrix")};
    argv.insert(argv.end(), args.begin(), args.end());
    exitCode_ = runProcess(argv, {{"TAVRIX_REGISTRY", registry_}}).exitCode;

    std::time_t now = std::time(nullptr);
    char date[16];
    std::strftime(date, sizeof date, "%Y%m%d", std::localtime(&now));
    std::string file = root_ + "/admin/logs/kelvolog_debug" + date + ".log";
    if (!std::filesystem::exists(file)) return {};
    std::string raw = readFile(file);
    EXPECT_EQ(raw.substr(0, 2), "\xFF\xFE");
    std::u16string text;
    for (std::size_t i = 2; i + 1 < raw.size(); i += 2)
      text += static_cast<char16_t>(static_cast<unsigned char>(raw[i]) | static_cast<unsigned char>(raw[i + 1]) << 8);
    std::filesystem::remove(file);
    return os::utf8FromUtf16(text);
  }

  TempDir dir_;
  std::string root_ = dir_.file("product");
  std::string registry_ = dir_.file("registry.reg");
  int exitCode_ = -1;
};

TEST_F(LogFileSink, DebugLoggingWritesStartAndEndWithMaskedSecrets) {
  std::string log = runWith("\"Debug\"=dword:00000001\n", {"--help", "--db-password=secret"});
  EXPECT_EQ(exitCode_, 0);
  const std::regex line(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} \d+ \d+ Info: (.*)\r\n)");
  std::vector<std::string> messages;
  for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it)
    messages.push_back((*it)[1]);
  std::string commandLine = binary("tavrix") + " --help \"--db-password=*\"";
  ASSERT_EQ(messages.size(), 2u) << log;
  EXPECT_EQ(messages[0], "Start command: '" + commandLine + "'");
  EXPECT_EQ(messages[1], "End command '" + commandLine + "' with code: 0");
  EXPECT_EQ(log.find("secret"), std::string::npos);
}

TEST_F(LogFileSink, SwitchesDecideWhatReachesTheFile) {
  EXPECT_EQ(runWith("\"Debug\"=dword:00000000\n", {"--help"}), "");
  std::string errors = runWith("", {"--Help"});
  EXPECT_NE(errors.find(" Error: command --Help not supported."), std::string::npos);
  EXPECT_EQ(errors.find("Info:"), std::string::npos);
  EXPECT_EQ(runWith("\"Debug\"=dword:00000001\n\"log_debug_enabled\"=dword:00000000\n", {"--Help"}), "");
}

} // namespace
