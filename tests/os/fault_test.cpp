#include "os/fault.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>

#include "os/text.h"
#include "tests/support/testing.h"

namespace {

bool g_dump = false;
std::uint32_t g_dumpResult;

struct Fault {
  std::uint32_t code;
};

[[noreturn]] void translate(std::uint32_t code, const os::FaultContext& context) {
  if (g_dump) g_dumpResult = os::writeCoreDump(context);
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
  ASSERT_EQ(os::prepareCoreDumps(os::utf16FromUtf8(dir.path()), u"test"), 0u);
  g_dump = true;
  {
    os::FaultTranslatorScope scope(translate);
    EXPECT_THROW(writeThrough(g_null), Fault);
  }
  g_dump = false;
  ASSERT_EQ(g_dumpResult, 0u);
  std::vector<std::string> dumps;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) dumps.push_back(entry.path());
  ASSERT_EQ(dumps.size(), 1u);
  const std::string& dump = dumps[0];
  testing_support::ProcessResult gdb = testing_support::runProcess(
      {"/usr/bin/gdb", "-batch", "-nx", "-ex", "bt", std::filesystem::read_symlink("/proc/self/exe").string(), dump});
  EXPECT_NE(gdb.out.find("writeThrough"), std::string::npos) << gdb.out << gdb.err;
  EXPECT_NE(gdb.out.find("CoreDumpOpensInGdbWithABacktrace"), std::string::npos) << gdb.out;
}

// The name is made at fault time from the clock and the offset taken when dumps were prepared;
// it must read as the local time does, in zones east and west of UTC and on half hours.
TEST(Fault, DumpNamesCarryTheLocalTime) {
  const char* previous = std::getenv("TZ");
  const std::string saved = previous ? previous : "";
  testing_support::TempDir dir;
  for (const char* zone : {"UTC0", "XST-05:30", "YST+11"}) {
    setenv("TZ", zone, 1);
    tzset();
    ASSERT_EQ(os::prepareCoreDumps(os::utf16FromUtf8(dir.path()), u"tool"), 0u);
    std::string name;
    std::time_t second;
    do { // again when the second changed in between
      second = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
      name = testing_support::u8(os::coreDumpFileName());
    } while (std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) != second);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", std::localtime(&second));
    const std::string expected = std::string("tool") + stamp + ".dmp";
    EXPECT_EQ(name, expected) << zone;
  }
  if (previous) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

} // namespace
