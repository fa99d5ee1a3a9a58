#include "runtime/log/crash_dump.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/core/guard.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

int* volatile g_null = nullptr;

[[gnu::noinline]] void writeThroughNull() { *g_null = 1; }

// Threads that allocate and free without pause until the process ends, so that the heap's locks
// are taken all the time while the main thread fails; returns once each has begun.
void startChurningThreads(int count) {
  static std::latch churning(count);
  for (int i = 0; i < count; ++i)
    std::thread([] {
      churning.count_down();
      for (std::size_t size = 16;; size = size * 7 % 5000 + 16) std::free(std::malloc(size));
    }).detach();
  churning.wait();
}

// Larger than the per-thread cache takes and kept from merging into the top by a live neighbour:
// the second free is caught while the C library holds the heap's lock (once a second thread has
// ever run), and it aborts the process with that lock held.
[[gnu::noinline]] void freeTwice() {
  void* volatile block = std::malloc(4096);
  void* volatile neighbour = std::malloc(4096);
  std::free(block);
  std::free(block);
  std::free(neighbour);
}

// Corrupts a free chunk's link so that the next allocation of its size faults inside malloc,
// under the heap's lock. The recipe follows the C library's fast bins: fill the per-thread cache
// of one size, free one more chunk of it (to the fast bin), point its link at unmapped memory,
// empty the cache and allocate: moving the fast bin into the cache reads through the link.
[[gnu::noinline]] void faultInsideMalloc() {
  // Called through volatile pointers, so that the compiler keeps every call.
  void* (*volatile allocate)(std::size_t) = std::malloc;
  void (*volatile release)(void*) = std::free;
  constexpr std::size_t kSize = 56;
  void* chunks[8];
  for (void*& chunk : chunks) chunk = allocate(kSize);
  void* guard = allocate(kSize);
  for (void* chunk : chunks) release(chunk);
  auto link = reinterpret_cast<std::uintptr_t>(chunks[7]);
  // The link is stored mangled with its own address, as the library guards its pointers.
  *static_cast<volatile std::uintptr_t*>(chunks[7]) = (link >> 12) ^ 0x1000;
  for (int i = 0; i < 9; ++i) allocate(kSize);
  release(guard);
}

// Run as a child by the test below, in the scenario its environment names.
TEST(FatalErrorChild, Scenario) {
  const char* scenario = std::getenv("TAVRIX_TEST_FATAL_CHILD");
  if (!scenario) GTEST_SKIP() << "runs only as the child of FatalErrors";
  ASSERT_TRUE(CrashDumpInfo::instance().enabled());
  const std::string name = scenario;
  if (name == "double-free-live-threads") {
    startChurningThreads(4);
    freeTwice();
  } else if (name == "fault-live-threads") {
    startChurningThreads(4);
    os::FaultTranslatorScope translator(translateStructuredException);
    try {
      guarded("faultyOperation", 7, [] { return std::u16string(u"Unable to call faultyOperation()"); },
              [] { writeThroughNull(); });
    } catch (const vexception& e) {
      std::printf("%s", u8(e.fullText()).c_str());
      std::fflush(stdout);
      std::_Exit(3);
    }
  } else if (name == "fault-inside-malloc-live-threads") {
    startChurningThreads(4);
    os::FaultTranslatorScope translator(translateStructuredException);
    faultInsideMalloc();
  }
  FAIL() << "the scenario " << name << " did not end the process";
}

// Whatever the failure and however many threads run, the dump is written and the process ends:
// nothing that runs after the failure may wait for a lock the failing code holds. A fault in a
// guarded operation is the operation's failure, and the process goes on to report it.
TEST(FatalErrors, WriteOneDumpAndEndWithoutHanging) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers report the corruption themselves";
#endif
  // The scenario, its exit code, what its standard output holds.
  const std::tuple<std::string, int, const char*> cases[] = {
      {"double-free-live-threads", 128 + SIGABRT, ""},
      {"fault-live-threads", 3,
       "C structured exception: 0xc0000005\n   at Unable to call faultyOperation()(faultyOperation line 7)"},
      {"fault-inside-malloc-live-threads", 128 + SIGSEGV, ""},
  };
  for (const auto& [scenario, exitCode, output] : cases) {
    TempDir dir;
    ScopedRegistry registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                            "\"PRODUCT_ROOT_D\"=\"" + dir.path() + "\"\n");
    ProcessResult child =
        runProcess({std::filesystem::read_symlink("/proc/self/exe").string(), "--gtest_filter=FatalErrorChild.*"},
                   {{"TAVRIX_TEST_FATAL_CHILD", scenario}}, std::chrono::seconds(30));
    // A child that hangs is killed at the time-out and ends with SIGKILL's code.
    EXPECT_EQ(child.exitCode, exitCode) << scenario << (child.timedOut ? " hangs" : "") << "\n" << child.out << child.err;
    EXPECT_NE(child.out.find(output), std::string::npos) << scenario << "\n" << child.out;
    std::vector<std::string> dumps;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("etc/crashdumps")))
      if (entry.path().extension() == ".dmp") dumps.push_back(entry.path().string());
    EXPECT_EQ(dumps.size(), 1u) << scenario;
    // A dump holds the process's memory: its owner's alone.
    for (const std::string& dump : dumps) {
      EXPECT_NE(dump.find("/test_runtime_log"), std::string::npos) << dump;
      EXPECT_EQ(std::filesystem::status(dump).permissions(),
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write) << dump;
    }
    if (dumps.size() == 1 && scenario == "double-free-live-threads") {
      // The failing thread is the current one; the others' stacks are there too.
      ProcessResult gdb = runProcess({"/usr/bin/gdb", "-batch", "-nx", "-ex", "bt", "-ex", "thread apply all bt",
                                      std::filesystem::read_symlink("/proc/self/exe").string(), dumps[0]});
      const std::string current = gdb.out.substr(0, gdb.out.find("\nThread "));
      EXPECT_NE(current.find("freeTwice"), std::string::npos) << gdb.out << gdb.err;
      // One section of "thread apply all bt" per thread.
      std::size_t churning = 0;
      for (std::size_t at = gdb.out.find("\nThread "); at != std::string::npos;) {
        const std::size_t next = gdb.out.find("\nThread ", at + 1);
        churning += gdb.out.substr(at, next - at).find("startChurningThreads") != std::string::npos;
        at = next;
      }
      EXPECT_EQ(churning, 4u) << gdb.out;
    }
  }
}

} // namespace
