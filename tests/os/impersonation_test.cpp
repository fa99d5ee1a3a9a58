#include "os/impersonation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/testing.h"

using namespace testing_support;

namespace {

// Creates a file; returns 0 or the errno of the failure.
int create(const std::string& path) {
  const os::posix::Fd fd(::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644));
  return fd.valid() ? 0 : errno;
}

std::pair<uid_t, gid_t> ownerOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return {st.st_uid, st.st_gid};
}

TEST(Impersonation, OnlyTheImpersonatingThreadActsAsTheUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing a thread's ids needs root";
  ScopedUser user;
  ASSERT_TRUE(user.ok());
  TempDir dir;
  ::chmod(dir.path().c_str(), 0777);
  const std::string closed = dir.file("closed");
  ::mkdir(closed.c_str(), 0700);

  std::latch impersonated(1), rootCreated(1);
  int impersonateRc = -1, revertRc = -1, closedError = 0;
  os::ThreadIdentity whileImpersonating;
  std::thread worker([&] {
    impersonateRc = static_cast<int>(os::impersonateOnThread({user.uid(), user.gid(), {user.gid()}}));
    whileImpersonating = os::currentThreadIdentity();
    impersonated.count_down();
    rootCreated.wait();
    create(dir.file("by-user"));
    closedError = create(closed + "/by-user");
    revertRc = static_cast<int>(os::revertToSelf());
    create(dir.file("after-revert"));
  });
  impersonated.wait();
  const os::ThreadIdentity mainIdentity = os::currentThreadIdentity();
  create(dir.file("by-root"));
  rootCreated.count_down();
  worker.join();

  EXPECT_EQ(impersonateRc, 0);
  EXPECT_EQ(revertRc, 0);
  EXPECT_EQ(whileImpersonating.uid, user.uid());
  EXPECT_EQ(whileImpersonating.groups, std::vector<std::uint32_t>{user.gid()});
  EXPECT_EQ(mainIdentity.uid, 0u);
  EXPECT_EQ(closedError, EACCES) << "the impersonating thread keeps root's file capabilities";
  const std::pair<uid_t, gid_t> root{0, 0};
  EXPECT_EQ(ownerOf(dir.file("by-user")), std::make_pair(uid_t(user.uid()), gid_t(user.gid())));
  EXPECT_EQ(ownerOf(dir.file("by-root")), root);
  EXPECT_EQ(ownerOf(dir.file("after-revert")), root);
}

// Writes an attribute of the trusted namespace (CAP_SYS_ADMIN only); 0 or the errno.
int writeTrusted(const std::string& path) {
  return ::setxattr(path.c_str(), "trusted.tavrix.probe", "1", 1, 0) == 0 ? 0 : errno;
}

TEST(Impersonation, TheThreadHoldsNoCapabilityUntilItReverts) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing a thread's ids needs root";
  ScopedUser user;
  ASSERT_TRUE(user.ok());
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  const std::string file = dir.file("file");
  ASSERT_EQ(create(file), 0);

  int before = -1, during = -1, nested = -1, afterRevert = -1;
  std::thread worker([&] {
    before = writeTrusted(file);
    if (os::impersonateOnThread({user.uid(), user.gid(), {user.gid()}}) != 0) return;
    during = writeTrusted(file);
    // Acting as another account again needs the dropped capabilities back for a moment.
    if (os::impersonateOnThread({user.uid(), user.gid(), {}}) == 0) nested = writeTrusted(file);
    if (os::revertToSelf() == 0) afterRevert = writeTrusted(file);
  });
  worker.join();

  EXPECT_EQ(before, 0);
  EXPECT_EQ(during, EPERM) << "the impersonating thread keeps CAP_SYS_ADMIN";
  EXPECT_EQ(nested, EPERM);
  EXPECT_EQ(afterRevert, 0);
  EXPECT_EQ(ownerOf(file), std::make_pair(uid_t(0), gid_t(0)));
}

// The tool's own files are written with its own rights from a thread that acts as an account:
// a root-only directory is writable inside the scope, the account is back after it.
TEST(Impersonation, SelfScopeActsAsTheProcessAndResumesTheAccount) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing a thread's ids needs root";
  ScopedUser user;
  ASSERT_TRUE(user.ok());
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  const std::string own = dir.file("own");
  ::mkdir(own.c_str(), 0700);

  int asAccount = -1, asSelf = -1, resumed = -1;
  std::thread worker([&] {
    if (os::impersonateOnThread({user.uid(), user.gid(), {user.gid()}}) != 0) return;
    asAccount = create(own + "/a");
    {
      const os::SelfScope self;
      asSelf = create(own + "/b");
    }
    resumed = create(own + "/c");
    (void)os::revertToSelf();
  });
  worker.join();

  EXPECT_EQ(asAccount, EACCES);
  EXPECT_EQ(asSelf, 0);
  EXPECT_EQ(ownerOf(own + "/b"), std::make_pair(uid_t(0), gid_t(0)));
  EXPECT_EQ(resumed, EACCES) << "the account's identity did not come back after the scope";
}

} // namespace
