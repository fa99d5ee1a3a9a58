#include "os/impersonation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <latch>
#include <map>
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

// Writes an attribute of the trusted namespace (CAP_SYS_ADMIN only); 0 or the errno.
int writeTrusted(const std::string& path) {
  return ::setxattr(path.c_str(), "trusted.tavrix.probe", "1", 1, 0) == 0 ? 0 : errno;
}

// Linux keeps credentials per thread: only the impersonating thread acts as the user, without
// root's file capabilities (which would open a closed directory) or CAP_SYS_ADMIN, until it
// reverts. Acting as another account again needs the dropped capabilities back for a moment; the
// tool's own files are written with its own rights inside a SelfScope, and the account is back
// after it.
TEST(Impersonation, OnlyTheImpersonatingThreadActsAsTheUserWithoutCapabilities) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing a thread's ids needs root";
  ScopedUser user;
  ASSERT_TRUE(user.ok());
  TempDir dir;
  ::chmod(dir.path().c_str(), 0777);
  const std::string closed = dir.file("closed"), file = dir.file("file");
  ::mkdir(closed.c_str(), 0700);
  ASSERT_EQ(create(file), 0);

  std::latch impersonated(1), rootCreated(1);
  std::map<std::string, int> got;
  os::ThreadIdentity whileImpersonating;
  std::thread worker([&] {
    got["trusted before"] = writeTrusted(file);
    got["impersonate"] = static_cast<int>(os::impersonateOnThread({user.uid(), user.gid(), {user.gid()}}));
    whileImpersonating = os::currentThreadIdentity();
    impersonated.count_down();
    rootCreated.wait();
    got["create"] = create(dir.file("by-user"));
    got["create in closed"] = create(closed + "/by-user");
    got["trusted"] = writeTrusted(file);
    if (os::impersonateOnThread({user.uid(), user.gid(), {}}) == 0) got["trusted nested"] = writeTrusted(file);
    {
      const os::SelfScope self;
      got["create in closed as self"] = create(closed + "/by-self");
    }
    got["create in closed resumed"] = create(closed + "/resumed");
    got["revert"] = static_cast<int>(os::revertToSelf());
    got["trusted after"] = writeTrusted(file);
    create(dir.file("after-revert"));
  });
  impersonated.wait();
  create(dir.file("by-root"));
  rootCreated.count_down();
  worker.join();

  EXPECT_EQ(got, (std::map<std::string, int>{{"trusted before", 0}, {"impersonate", 0}, {"create", 0},
                                             {"create in closed", EACCES}, {"trusted", EPERM},
                                             {"trusted nested", EPERM}, {"create in closed as self", 0},
                                             {"create in closed resumed", EACCES}, {"revert", 0},
                                             {"trusted after", 0}}));
  EXPECT_EQ(whileImpersonating.groups, std::vector<std::uint32_t>{user.gid()});
  const std::pair<uid_t, gid_t> root{0, 0};
  EXPECT_EQ(ownerOf(dir.file("by-user")), std::make_pair(uid_t(user.uid()), gid_t(user.gid())));
  for (const char* name : {"by-root", "after-revert", "closed/by-self", "file"})
    EXPECT_EQ(ownerOf(dir.file(name)), root) << name;
}

} // namespace
