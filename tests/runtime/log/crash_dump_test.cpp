#include "runtime/log/crash_dump.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "os/text.h"
#include "runtime/core/guard.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

int* volatile g_null = nullptr;

[[gnu::noinline]] void writeThroughNull() { *g_null = 1; }

TEST(CrashDump, FaultInAGuardedOperationIsReportedDumpedAndSurvived) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers stop at the deliberate fault before the processor does";
#endif
  TempDir dir;
  ScopedRegistry registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                          "\"PRODUCT_ROOT_D\"=\"" + dir.path() + "\"\n");
  // The settings are read once per process, here with this registry.
  ASSERT_TRUE(CrashDumpInfo::instance().enabled());
  std::string dumps = dir.file("etc/crashdumps");
  ASSERT_TRUE(std::filesystem::is_directory(dumps));

  os::FaultTranslatorScope translator(translateStructuredException);
  for (int round = 0; round < 2; ++round) {
    try {
      guarded("faultyOperation", 7, [] { return std::u16string(u"Unable to call faultyOperation()"); },
              [] { writeThroughNull(); });
      FAIL() << "no fault";
    } catch (const vexception& e) {
      EXPECT_EQ(u8(e.fullText()),
                "C structured exception: 0xc0000005\n   at Unable to call faultyOperation()(faultyOperation line 7)");
    }
  }

  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dumps)) files.push_back(entry.path().string());
  // One name per second: the two faults leave one or two dumps.
  ASSERT_GE(files.size(), 1u);
  ASSERT_LE(files.size(), 2u);
  EXPECT_NE(files[0].find("/test_runtime_log"), std::string::npos);
  ProcessResult gdb = runProcess({"/usr/bin/gdb", "-batch", "-nx", "-ex", "bt",
                                  std::filesystem::read_symlink("/proc/self/exe").string(), files[0]});
  EXPECT_NE(gdb.out.find("writeThroughNull"), std::string::npos) << gdb.out << gdb.err;
}

} // namespace

namespace {

// Run as a child by the test below: corrupts the heap, which the C library answers by aborting.
TEST(HeapCorruptionChild, FreesTwice) {
  if (!std::getenv("TAVRIX_TEST_HEAP_CHILD")) GTEST_SKIP() << "runs only as the child of HeapCorruption";
  ASSERT_TRUE(CrashDumpInfo::instance().enabled());
  void* volatile block = std::malloc(64);
  std::free(block);
  std::free(block);
}

TEST(HeapCorruption, WritesADumpBeforeTheProcessEnds) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers report the corruption themselves";
#endif
  TempDir dir;
  writeFile(dir.file("registry.reg"),
            "Windows Registry Editor Version 5.00\n\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
            "\"PRODUCT_ROOT_D\"=\"" + dir.path() + "\"\n");
  ProcessResult child = runProcess({std::filesystem::read_symlink("/proc/self/exe").string(),
                                    "--gtest_filter=HeapCorruptionChild.*"},
                                   {{"TAVRIX_TEST_HEAP_CHILD", "1"}, {"TAVRIX_REGISTRY", dir.file("registry.reg")}});
  EXPECT_EQ(child.exitCode, 128 + SIGABRT) << child.out << child.err;
  std::size_t dumps = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.file("etc/crashdumps")))
    dumps += entry.path().extension() == ".dmp";
  EXPECT_EQ(dumps, 1u);
}

} // namespace
