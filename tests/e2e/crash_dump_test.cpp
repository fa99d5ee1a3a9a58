// Whole-process tests of the crash dump settings: the dump directory and the pruning at exit.
#include <sys/time.h>

#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "tests/support/testing.h"

using namespace testing_support;

namespace {

class CrashDumps : public ::testing::Test {
protected:
  void runWith(const std::string& configLines) {
    writeFile(registry_, "Windows Registry Editor Version 5.00\n\n"
                         "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") +
                         "\"\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                         "\"PRODUCT_ROOT_D\"=\"" + dir_.file("product") + "\"\n" + configLines);
    EXPECT_EQ(runProcess({binary("tavrix"), "--help"}, {{"TAVRIX_REGISTRY", registry_}}).exitCode, 0);
  }

  // Five dumps a day apart (d0 oldest) and a zip archive, in `directory`.
  void plantDumps(const std::string& directory) {
    for (int i = 0; i < 5; ++i) {
      std::string file = directory + "/d" + std::to_string(i) + ".dmp";
      writeFile(file, "dump");
      timeval times[2] = {{1700000000 + i * 86400, 0}, {1700000000 + i * 86400, 0}};
      ::utimes(file.c_str(), times);
    }
    writeFile(directory + "/old.dmp.zip", "zip");
  }

  std::set<std::string> names(const std::string& directory) {
    std::set<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(directory)) found.insert(e.path().filename());
    return found;
  }

  TempDir dir_;
  std::string registry_ = dir_.file("registry.reg");
};

TEST_F(CrashDumps, OldestDumpsBeyondTheMaximumAreDeletedAtExit) {
  std::string dumps = dir_.file("product/etc/crashdumps");
  plantDumps(dumps);
  runWith("\"CrashDumpsMaxCount\"=dword:00000002\n");
  EXPECT_EQ(names(dumps), (std::set<std::string>{"d3.dmp", "d4.dmp", "old.dmp.zip"}));
}

TEST_F(CrashDumps, DisabledDumpsTouchNothing) {
  std::string dumps = dir_.file("product/etc/crashdumps");
  plantDumps(dumps);
  runWith("\"CrashDumpsEnabled\"=dword:00000000\n\"CrashDumpsMaxCount\"=dword:00000002\n");
  EXPECT_EQ(names(dumps).size(), 6u);
}

TEST_F(CrashDumps, ConfiguredLocationIsCreatedAtStart) {
  std::string location = dir_.file("elsewhere/dumps");
  runWith("\"CrashDumpsLocation\"=\"" + location + "\"\n");
  EXPECT_TRUE(std::filesystem::is_directory(location));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("product/etc/crashdumps")));
}

} // namespace
