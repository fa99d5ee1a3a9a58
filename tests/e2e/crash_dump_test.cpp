// Whole-process tests of the crash dump settings: the dump directory and the pruning at exit.
#include <sys/time.h>

#include <set>

#include <gtest/gtest.h>

#include "tests/e2e/host.h"

using namespace testing_support;

namespace {

using CrashDumps = Host;

TEST_F(CrashDumps, TheSettingsDecideWhereDumpsGoAndHowManyStayAtExit) {
  // Five dumps a day apart (d0 oldest) and a zip archive in the default directory; a configured
  // location is made at start, and the default one is then not.
  const std::set<std::string> planted = {"d0.dmp", "d1.dmp", "d2.dmp", "d3.dmp", "d4.dmp", "old.dmp.zip"};
  struct Case { std::string config; bool elsewhere; std::set<std::string> left; } cases[] = {
      {"\"CrashDumpsMaxCount\"=dword:00000002\n", false, {"d3.dmp", "d4.dmp", "old.dmp.zip"}},
      {"\"CrashDumpsEnabled\"=dword:00000000\n\"CrashDumpsMaxCount\"=dword:00000002\n", false, planted},
      {"\"CrashDumpsLocation\"=\"%s/elsewhere/dumps\"\n", true, {}},
  };
  for (Case& c : cases) {
    std::filesystem::remove_all(product_ + "/etc");
    const std::string standard = product_ + "/etc/crashdumps", dumps = c.elsewhere ? dir_.file("elsewhere/dumps") : standard;
    if (c.elsewhere) c.config.replace(c.config.find("%s"), 2, dir_.path());
    for (int i = 0; i < 5 && !c.elsewhere; ++i) {
      const std::string file = standard + "/d" + std::to_string(i) + ".dmp";
      writeFile(file, "dump");
      const timeval times[2] = {{1700000000 + i * 86400, 0}, {1700000000 + i * 86400, 0}};
      ::utimes(file.c_str(), times);
    }
    if (!c.elsewhere) writeFile(standard + "/old.dmp.zip", "zip");
    writeRegistry(c.config);
    EXPECT_EQ(runTool(registry_, kActingCommand).exitCode, 1);
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dumps)) names.insert(e.path().filename());
    EXPECT_EQ(names, c.left) << c.config;
    EXPECT_EQ(std::filesystem::exists(standard), !c.elsewhere) << c.config;
  }
}

} // namespace
