#include "os/fault.h"

#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>

#include "os/text.h"
#include "tests/support/testing.h"

namespace {

std::u16string g_dumpPath;
std::uint32_t g_dumpResult;

struct Fault {
  std::uint32_t code;
};

[[noreturn]] void translate(std::uint32_t code, const os::FaultContext& context) {
  if (!g_dumpPath.empty()) g_dumpResult = os::writeCoreDump(g_dumpPath, context);
  throw Fault{code};
}

// Read at run time, so the compiler cannot see the null pointer.
int* volatile g_null = nullptr;

// Kept out of line so the fault happens in a frame of its own.
[[gnu::noinline]] int writeThrough(volatile int* pointer) {
  *pointer = 42;
  return *pointer;
}

volatile int g_zero = 0;
volatile int g_quotient;

[[gnu::noinline]] void divideByZero() { g_quotient = 1 / g_zero; }

struct Counter {
  int& destroyed;
  ~Counter() { ++destroyed; }
};

TEST(Fault, FaultsBecomeExceptionsThatUnwind) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers stop at the deliberate fault before the processor does";
#endif
  os::FaultTranslatorScope scope(translate);
  int destroyed = 0;
  for (int round = 0; round < 2; ++round) {
    try {
      Counter counter{destroyed};
      writeThrough(g_null);
      FAIL() << "no fault";
    } catch (const Fault& f) {
      EXPECT_EQ(f.code, os::STATUS_ACCESS_VIOLATION);
    }
  }
  EXPECT_EQ(destroyed, 2);
  try {
    divideByZero();
    FAIL() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.code, os::STATUS_INTEGER_DIVIDE_BY_ZERO);
  }
}

TEST(Fault, CoreDumpOpensInGdbWithABacktrace) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory makes a full dump impractically large";
#endif
  if (std::system("command -v gdb >/dev/null 2>&1") != 0) GTEST_SKIP() << "gdb is not installed";
  testing_support::TempDir dir;
  std::string dump = dir.file("test.dmp");
  g_dumpPath = os::utf16FromUtf8(dump);
  {
    os::FaultTranslatorScope scope(translate);
    EXPECT_THROW(writeThrough(g_null), Fault);
  }
  g_dumpPath.clear();
  ASSERT_EQ(g_dumpResult, 0u);
  testing_support::ProcessResult gdb = testing_support::runProcess(
      {"/usr/bin/gdb", "-batch", "-nx", "-ex", "bt", std::filesystem::read_symlink("/proc/self/exe").string(), dump});
  EXPECT_NE(gdb.out.find("writeThrough"), std::string::npos) << gdb.out << gdb.err;
  EXPECT_NE(gdb.out.find("CoreDumpOpensInGdbWithABacktrace"), std::string::npos) << gdb.out;
}

} // namespace
