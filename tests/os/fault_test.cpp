#include "os/fault.h"

#include <chrono>
#include <ctime>
#include <stdexcept>

#include <gtest/gtest.h>

#include "os/text.h"
#include "tests/support/testing.h"

namespace {

struct Fault { std::uint32_t code; };

[[noreturn]] void translate(std::uint32_t code, const os::FaultContext&) { throw Fault{code}; }

// Read at run time, so the compiler cannot see the null pointer.
int* volatile g_null = nullptr;

// Kept out of line so that each fault happens in a frame of its own.
[[gnu::noinline]] void writeThroughNull() { *g_null = 42; }

volatile int g_zero = 0;
volatile int g_quotient;

[[gnu::noinline]] void divideByZero() { g_quotient = 1 / g_zero; }

struct Counter {
  int& destroyed;
  ~Counter() { ++destroyed; }
};

// A fault is thrown as the translator's exception, unwinding the frames above it; the
// translator stays in place for the next one.
TEST(Fault, FaultsBecomeExceptionsThatUnwind) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers stop at the deliberate fault before the processor does";
#endif
  os::FaultTranslatorScope scope(translate);
  const std::pair<void (*)(), std::uint32_t> cases[] = {{writeThroughNull, os::STATUS_ACCESS_VIOLATION},
                                                        {writeThroughNull, os::STATUS_ACCESS_VIOLATION},
                                                        {divideByZero, os::STATUS_INTEGER_DIVIDE_BY_ZERO}};
  int destroyed = 0;
  for (const auto& [fault, code] : cases) {
    std::uint32_t caught = 0;
    try {
      Counter counter{destroyed};
      fault();
    } catch (const Fault& f) {
      caught = f.code;
    }
    EXPECT_EQ(caught, code);
  }
  EXPECT_EQ(destroyed, 3);
}

// The name is made at fault time from the clock and the offset taken when dumps were prepared;
// it must read as the local time does, in zones east and west of UTC and on half hours.
TEST(Fault, DumpNamesCarryTheLocalTime) {
  testing_support::TempDir dir;
  for (const char* zone : {"UTC0", "XST-05:30", "YST+11"}) {
    const testing_support::ScopedEnv tz("TZ", zone);
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
  tzset();
}

} // namespace
