#include "runtime/core/sync.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "os/posix/fd.h"
#include "os/thread.h"
#include "tests/support/failure.h"

using namespace testing_support;

namespace {

// A private run directory for the named objects.
class Sync : public ::testing::Test {
protected:
  TempDir run_;
  ScopedRegistry registry_{"[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + run_.file("run") + "\"\n"};
};

// Runs f on another thread and returns its result.
template <class F>
auto onOtherThread(F f) {
  return std::async(std::launch::async, f).get();
}

// Each case returns the results of its waits in order (a braced list runs its parts in order).
TEST_F(Sync, WaitResultsByKind) {
  using Results = std::vector<std::uint32_t>;
  constexpr std::uint32_t OK = os::WAIT_OBJECT_0, TIMEOUT = os::WAIT_TIMEOUT;
  const auto now = [](VSyncObject& o) { return o.waitForSingleObject(0); };
  const auto elsewhere = [&](VSyncObject& o) { return onOtherThread([&] { return now(o); }); };
  const std::tuple<const char*, std::function<Results()>, Results> cases[] = {
      {"a manual-reset event stays set until reset",
       [&] { VEvent e(true, true); return Results{now(e), now(e), (e.unlock(), now(e))}; }, {OK, OK, TIMEOUT}},
      {"an auto-reset event releases one wait",
       [&] { VEvent e(false, false); e.set(); e.set(); return Results{now(e), now(e)}; }, {OK, TIMEOUT}},
      {"a mutex is taken again by its owner only",
       [&] { VMutex m(true); return Results{now(m), elsewhere(m), (m.unlock(), elsewhere(m)), (m.unlock(), elsewhere(m))}; },
       {OK, TIMEOUT, TIMEOUT, OK}},
      {"a named mutex excludes another thread; a name in another case is another mutex",
       [&] {
         VMutex m(false, u"Global\\Site-Alice"), lower(false, u"Global\\site-alice");
         Results r{now(m), elsewhere(m), elsewhere(lower)};
         m.unlock();
         return r;
       },
       {OK, TIMEOUT, OK}},
      {"a wait for any reports the index of the signalled object",
       [&] {
         VEvent a(true, false), b(false, true);
         VSyncObject* both[] = {&a, &b};
         return Results{waitForMultipleObjects(both, false, 0).value(), now(b)};
       },
       {OK + 1, TIMEOUT}},
      {"a wait for all takes nothing until everything is signalled",
       [&] {
         VEvent manual(true, false), automatic(false, true);
         VSyncObject* both[] = {&manual, &automatic};
         return Results{waitForMultipleObjects(both, true, 20).value(),
                        (manual.set(), waitForMultipleObjects(both, true, 0).value()), now(automatic)};
       },
       {TIMEOUT, OK, TIMEOUT}},
  };
  for (const auto& [what, run, expected] : cases) EXPECT_EQ(run(), expected) << what;
}

// Only the owner releases a mutex.
TEST_F(Sync, ReleasingAnotherThreadsMutexFails) {
  VMutex m(true);
  const Failure f = failureOf([&] { onOtherThread([&] { m.unlock(); }); });
  EXPECT_EQ(f.message + " @" + f.context, "Unknown error (Error code 288) at ReleaseMutex @VMutex::unlock");
}

TEST_F(Sync, AnAlertableWaitEndsAtItsTimeOutWhateverItsApcsTake) {
  // An APC shorter than the time-out, then a longer one: a wait that ended at the APC would take
  // 200 ms in the first case; one that started its time-out again after the APC would wait again
  // in the second.
  for (const int apcMs : {200, 500}) {
    VEvent never(true, false);
    std::promise<std::pair<os::ThreadRef, int>> waiter;
    std::atomic<bool> apcOver{false}, returned{false};
    const auto started = std::chrono::steady_clock::now();
    auto result = std::async(std::launch::async, [&] {
      waiter.set_value({os::currentThread().value(), threadId()});
      const std::uint32_t got = never.waitForSingleObject(400);
      returned = true;
      return got;
    });
    const auto [thread, id] = waiter.get_future().get();
    // Queued before or during the wait, the APC runs in it.
    ASSERT_EQ(os::queueUserApc(thread, [&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(apcMs));
                apcOver = true;
                apcOver.notify_all();
              }),
              0u);
    apcOver.wait(false);
    waitUntilAsleep(id);
    const bool waitedAgain = !returned;
    EXPECT_EQ(result.get(), os::WAIT_TIMEOUT) << apcMs;
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(395)) << apcMs;
    EXPECT_FALSE(apcMs > 400 && waitedAgain) << "the time-out started again after the APC";
  }
}

// A lock directory that another account owns or that is a link could hold lock files of that
// account's: it is refused, and nothing is made in it or changed on it.
TEST_F(Sync, ALockDirectoryOfAnotherUserOrALinkIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the directory to another user";
  const std::string lockDir = run_.file("run/lock"), elsewhere = run_.file("elsewhere");
  std::filesystem::create_directories(elsewhere);
  ASSERT_EQ(::chmod(elsewhere.c_str(), 0755), 0);
  for (bool link : {false, true}) {
    std::filesystem::remove_all(lockDir);
    std::filesystem::create_directories(run_.file("run"));
    if (link) {
      ASSERT_EQ(::symlink(elsewhere.c_str(), lockDir.c_str()), 0);
    } else {
      ASSERT_EQ(::mkdir(lockDir.c_str(), 0700), 0);
      ASSERT_EQ(::chown(lockDir.c_str(), 65534, 65534), 0);
    }
    EXPECT_THROW(VMutex(false, u"Global\\refused"), VAccessDeniedException) << link;
    const std::string target = link ? elsewhere : lockDir;
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, link ? 0755u : 0700u) << link;
    EXPECT_TRUE(std::filesystem::is_empty(target)) << link;
  }
}

// A process that held the mutex and was killed leaves it to the next taker: its lock goes with
// the open file description that the process's end closes, as the holder's does here.
TEST_F(Sync, AbandonedNamedMutexIsAcquired) {
  VMutex mutex(false, u"Global\\abandoned");
  {
    const os::posix::Fd holder(::open((run_.file("run/lock/") + os::mutexFileName(u"Global\\abandoned")).c_str(),
                                      O_RDWR | O_CLOEXEC));
    ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);
    EXPECT_FALSE(mutex.lock(50));
  }
  EXPECT_TRUE(mutex.lock(2000));
  mutex.unlock();
}

// A thread that ends owning a mutex (taken twice) lets it go: a waiter that found it taken and
// then blocked in its wait is woken. Owned once by whoever takes it next, one release gives it
// to others.
TEST_F(Sync, AMutexOfAThreadThatEndsGoesToTheWaiter) {
  for (const std::u16string name : {u"", u"Global\\left-by-a-thread"}) {
    VMutex mutex(false, name);
    std::promise<void> owned, finish;
    std::thread owner([&] {
      EXPECT_TRUE(mutex.lock(0) && mutex.lock(0));
      owned.set_value();
      finish.get_future().wait();
    });
    owned.get_future().wait();
    std::atomic<int> waiter{0};
    std::uint32_t tried = 0;
    auto waiting = std::async(std::launch::async, [&] {
      tried = mutex.waitForSingleObject(0);
      waiter = threadId();
      waiter.notify_all();
      return mutex.waitForSingleObject(5000); // ends owning it
    });
    waiter.wait(0);
    waitUntilAsleep(waiter); // asleep after the failed try: in the wait
    finish.set_value();
    owner.join();
    EXPECT_EQ(waiting.get(), os::WAIT_OBJECT_0) << u8(name);
    EXPECT_EQ(tried, os::WAIT_TIMEOUT) << "the waiter found the mutex free";
    EXPECT_EQ(mutex.waitForSingleObject(0), os::WAIT_OBJECT_0) << u8(name);
    mutex.unlock();
    EXPECT_EQ(onOtherThread([&] { return mutex.waitForSingleObject(0); }), os::WAIT_OBJECT_0) << u8(name);
  }
}

} // namespace
