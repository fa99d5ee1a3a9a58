// Opening beneath a directory, roots, the lock table and the take-over.
#include "os/posix/walker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "os/files.h"
#include "os/posix/beneath.h"
#include "os/posix/locks.h"
#include "os/root.h"
#include "os/text.h"
#include "tests/support/testing.h"

using testing_support::launcherRefuses;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

TEST(Walker, ResolvingBeneathRefusesLinksAndEscapes) {
  // Under the launcher the kernel's openat2 is gone, so the resolver takes its fallback.
  if (launcherRefuses("openat2")) {
    const long fd = syscall(SYS_openat2, AT_FDCWD, ".", nullptr, 0);
    EXPECT_EQ(fd < 0 ? errno : 0, ENOSYS);
  }
  TempDir dir;
  writeFile(dir.file("base/a/file"), "x");
  writeFile(dir.file("outside"), "x");
  symlink(dir.file("base/a").c_str(), dir.file("base/dirlink").c_str());
  symlink(dir.file("outside").c_str(), dir.file("base/a/filelink").c_str());
  os::posix::Fd base(open(dir.file("base").c_str(), O_PATH | O_DIRECTORY));
  using os::posix::kUnsafePath;
  using Want = os::posix::Want;
  struct Case {
    const char* path;
    int error; // 0: resolves
    int flags = O_RDONLY;
    Want want = Want::object;
  };
  constexpr int directory = O_PATH | O_DIRECTORY | O_NOFOLLOW;
  // A link on the way is refused as unsafe; one that is the target itself is a link (ELOOP)
  // where it would be opened, and is what the caller acts on where it wants the parent.
  const Case cases[] = {{"a/file", 0},
                        {"a", 0},
                        {"", 0},
                        {"dirlink/file", kUnsafePath},
                        {"a/filelink", ELOOP},
                        {"../outside", EXDEV},
                        {"a/missing", ENOENT},
                        {"dirlink", ELOOP, directory},
                        {"a/file", ENOTDIR, directory},
                        {"a/file/x", ENOTDIR, directory},
                        {"dirlink/file", kUnsafePath, 0, Want::parent},
                        {"dirlink/a/file", kUnsafePath, 0, Want::parent},
                        {"a/file/x", ENOTDIR, 0, Want::parent},
                        {"dirlink", 0, 0, Want::parent},
                        {"a/missing", 0, 0, Want::parent}};
  for (const Case& c : cases) {
    os::posix::Located where;
    EXPECT_EQ(os::posix::resolveBeneath(base.get(), c.path, c.want, c.flags, 0, where), c.error)
        << c.path;
  }
}

TEST(Walker, RelativePathsThatWouldLeaveARootAreRefused) {
  struct Case {
    const char16_t* relative;
    const char* host; // nullptr: refused with code
    std::uint32_t code;
  };
  const Case cases[] = {{u"a\\b", "a/b", 0},          {u"\\a/./b\\", "a/b", 0},
                        {u"", "", 0},                   {u"a\\..\\b", "b", 0},
                        {u"a\\..\\..\\b", nullptr, 17},
                        {u"..", nullptr, 17},           {u"C:\\x", nullptr, 161},
                        {u"C:x", nullptr, 161},         {u"\\\\server\\share", nullptr, 161},
                        {u"\\\\?\\C:\\x", nullptr, 161}, {u"\\??\\C:\\x", nullptr, 161}};
  for (const Case& c : cases) {
    os::Result<std::string> host = os::relativeHostPath(c.relative);
    if (c.host) {
      ASSERT_TRUE(host.ok()) << c.host;
      EXPECT_EQ(host.value(), c.host);
    } else {
      EXPECT_EQ(host.code(), c.code) << os::utf8FromUtf16(c.relative);
    }
  }
}

TEST(Walker, RootOperationsStayBeneathTheRoot) {
  TempDir dir;
  writeFile(dir.file("site/real/keep"), "x");
  writeFile(dir.file("decoy/secret"), "x");
  symlink(dir.file("decoy").c_str(), dir.file("site/link").c_str());
  os::Result<os::Root> root = os::Root::open(os::utf16FromUtf8(dir.file("site")));
  ASSERT_TRUE(root.ok());
  EXPECT_EQ(os::deleteFile(root.value(), u"link\\secret", false), os::err::untrustedMountPoint);
  EXPECT_EQ(os::deleteFile(root.value(), u"..\\decoy\\secret", false), os::err::notSameDevice);
  EXPECT_EQ(os::fileInformation(root.value(), u"link\\secret").code(),
            os::err::untrustedMountPoint);
  EXPECT_TRUE(os::fileInformation(root.value(), u"real\\keep").ok());
  // The link itself is what a root acts on.
  EXPECT_EQ(os::deleteFile(root.value(), u"link", false), 0u);
  EXPECT_TRUE(std::filesystem::exists(dir.file("decoy/secret")));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.file("site/link"))));
}

// Full paths are walked by safe steps: a link is followed only where no other user can change the
// directory it stands in, whoever owns the link, and a directory of another user leads only to
// that user's own objects (a site user can rename root's links and directories in its own tree).
TEST(Walker, FullPathsGoOnlyBySafeSteps) {
  if (geteuid() != 0) GTEST_SKIP() << "objects of another owner need root";
  TempDir dir;
  const uid_t user = 54321;
  writeFile(dir.file("decoy/secret"), "x");
  writeFile(dir.file("home/own/file"), "x");
  writeFile(dir.file("home/rootdir/file"), "x");
  std::filesystem::create_directories(dir.file("site"));
  std::filesystem::create_directories(dir.file("open"));
  chmod(dir.file("open").c_str(), 0777);
  std::filesystem::create_directories(dir.file("shared"));
  chmod(dir.file("shared").c_str(), 0775);
  lchown(dir.file("shared").c_str(), 0, user);
  for (const char* link : {"site/root-link", "site/user-link", "open/root-link", "shared/root-link", "home/root-link"})
    symlink(dir.file("decoy").c_str(), dir.file(link).c_str());
  symlink("loop", dir.file("site/loop").c_str());
  lchown(dir.file("site/user-link").c_str(), user, user);
  for (const char* owned : {"home", "home/own", "home/own/file"}) lchown(dir.file(owned).c_str(), user, user);
  const auto path = [&](const std::string& relative) { return os::utf16FromUtf8(dir.file(relative)); };
  const struct {
    const char* path;
    std::uint32_t code;
  } cases[] = {
      {"site/root-link/secret", os::err::success},
      {"site/user-link/secret", os::err::success},
      {"open/root-link/secret", os::err::untrustedMountPoint},
      {"shared/root-link/secret", os::err::untrustedMountPoint},
      {"home/root-link/secret", os::err::untrustedMountPoint},
      {"home/own/file", os::err::success},
      {"home/rootdir/file", os::err::untrustedMountPoint},
      {"home/rootdir", os::err::untrustedMountPoint},
      // A loop of safe links is not a refused link: the two fail differently.
      {"site/loop/x", os::err::cantResolveFilename},
  };
  // An operation on a full path acts beneath the root of its parent, reached by the same steps.
  for (const auto& c : cases) {
    std::u16string name;
    os::Result<os::Root> parent = os::Root::openParent(path(c.path), name);
    EXPECT_EQ(parent.ok() ? os::fileInformation(parent.value(), name).code() : parent.code(),
              c.code)
        << c.path;
  }
  EXPECT_EQ(os::Root::open(path("home/root-link")).code(), os::err::untrustedMountPoint);
  EXPECT_EQ(os::Root::open(path("home/rootdir")).code(), os::err::untrustedMountPoint);
  EXPECT_TRUE(os::Root::open(path("site/root-link")).ok());
  EXPECT_TRUE(os::Root::open(path("home/own")).ok());
  EXPECT_TRUE(std::filesystem::exists(dir.file("decoy/secret")));
}

TEST(Walker, ABranchHoldsFewDescriptorsAndNoticesAMovedDirectory) {
  TempDir dir;
  std::string path = dir.file("t");
  for (int i = 0; i < 6; ++i) path += "/d";
  std::filesystem::create_directories(path);
  os::posix::Fd base(open(dir.path().c_str(), O_PATH | O_DIRECTORY));
  os::posix::DirectoryStack stack(base.get(), 2);
  const char* names[] = {"t", "d", "d", "d", "d", "d", "d"};
  for (const char* name : names) {
    os::posix::Fd fd(openat(stack.top(), name, O_RDONLY | O_DIRECTORY));
    os::posix::DirectoryIdentity identity;
    ASSERT_EQ(os::posix::identify(fd.get(), identity), 0);
    stack.push(std::move(fd), identity);
  }
  // Back up through closed levels by "..": the right directories come back.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(stack.pop(), 0);
  struct stat expected, actual;
  ASSERT_EQ(stat(dir.file("t/d/d/d").c_str(), &expected), 0);
  ASSERT_EQ(fstat(stack.top(), &actual), 0);
  EXPECT_EQ(actual.st_ino, expected.st_ino);
  // A level moved elsewhere meanwhile is not taken for the one that was left.
  std::filesystem::create_directories(dir.file("elsewhere"));
  std::filesystem::rename(dir.file("t/d/d/d"), dir.file("elsewhere/d"));
  EXPECT_EQ(stack.pop(), ENOENT);
}

TEST(Walker, LockTableKnowsWhoHoldsWhat) {
  const std::string text =
      "1: FLOCK  ADVISORY  WRITE 4242 fd:01:100 0 EOF\n"
      "1: -> FLOCK  ADVISORY  WRITE 4343 fd:01:200 0 EOF\n"
      "2: POSIX  ADVISORY  WRITE 77 08:02:300 0 EOF\n"
      "3: OFDLCK ADVISORY  READ  -1 08:02:400 0 EOF\n"
      "garbage\n";
  os::posix::LockTable table = os::posix::LockTable::parse(text, 77);
  struct Case {
    unsigned major, minor;
    ino_t inode;
    bool locked;
  };
  const Case cases[] = {{0xfd, 1, 100, true}, {0xfd, 1, 200, false}, {8, 2, 300, false},
                        {8, 2, 400, true},    {8, 2, 100, false}};
  for (const Case& c : cases)
    EXPECT_EQ(table.locked(makedev(c.major, c.minor), c.inode), c.locked) << c.inode;
}

TEST(Walker, TakeOverChangesOnlyTheKindItWasAskedForWithOneLink) {
  if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
  TempDir dir;
  writeFile(dir.file("foreign"), "x");
  writeFile(dir.file("linked"), "x");
  link(dir.file("linked").c_str(), dir.file("second").c_str());
  symlink("foreign", dir.file("symlink").c_str());
  std::filesystem::create_directories(dir.file("dir"));
  std::filesystem::create_directories(dir.file("other"));
  writeFile(dir.file("file-not-dir"), "x");
  for (const char* name : {"foreign", "linked", "dir", "other", "file-not-dir"}) {
    chown(dir.file(name).c_str(), 54321, 54321);
    chmod(dir.file(name).c_str(), 0400);
  }
  struct Case {
    const char* name;
    os::ObjectKind kind;
    os::TakeOver result;
    uid_t owner;
    mode_t mode;
  };
  using K = os::ObjectKind;
  using T = os::TakeOver;
  const Case cases[] = {{"foreign", K::file, T::done, 0, 0600},
                        {"dir", K::directory, T::done, 0, 0700},
                        {"linked", K::file, T::skippedHardLink, 54321, 0400},
                        {"symlink", K::file, T::skippedLink, 0, 0},
                        {"other", K::file, T::skippedOtherKind, 54321, 0400},
                        {"file-not-dir", K::directory, T::skippedOtherKind, 54321, 0400}};
  for (const Case& c : cases) {
    testing_support::ParentOf parent = testing_support::parentOf(dir.file(c.name));
    os::Result<os::TakeOver> r = os::takeOver(parent.root, parent.name, c.kind);
    ASSERT_TRUE(r.ok()) << c.name;
    EXPECT_EQ(r.value(), c.result) << c.name;
    struct stat st;
    ASSERT_EQ(lstat(dir.file(c.name).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, c.owner) << c.name;
    if (c.mode) {
      EXPECT_EQ(st.st_mode & 07777, c.mode) << c.name;
    }
  }
}

} // namespace
