// Roots: paths resolved beneath a directory, relative paths that would leave it, and full paths
// walked from "/" by safe steps only.
#include "os/root.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "os/files.h"
#include "os/posix/beneath.h"
#include "os/text.h"
#include "tests/support/testing.h"

using testing_support::launcherRefuses;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

TEST(Root, ResolvingBeneathRefusesLinksAndEscapes) {
  // Under the launcher the kernel's openat2, getxattrat and listxattrat are gone, so the resolver
  // takes its fallback and the security store reads a file's attributes through /proc.
  for (auto [name, number] :
       {std::pair<const char*, long>{"openat2", SYS_openat2}, {"getxattrat", 464}, {"listxattrat", 465}})
    if (launcherRefuses(name)) {
      EXPECT_EQ(syscall(number, AT_FDCWD, ".", nullptr, 0, 0, 0) < 0 ? errno : 0, ENOSYS) << name;
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

TEST(Root, RelativePathsThatWouldLeaveARootAreRefused) {
  // The relative path and its host form, or the code it is refused with.
  const std::pair<const char16_t*, std::string> cases[] = {
      {u"a\\b", "a/b"},           {u"\\a/./b\\", "a/b"},      {u"", ""},
      {u"a\\..\\b", "b"},         {u"a\\..\\..\\b", "17"},    {u"..", "17"},
      {u"C:\\x", "161"},          {u"C:x", "161"},            {u"\\\\server\\share", "161"},
      {u"\\\\?\\C:\\x", "161"},   {u"\\??\\C:\\x", "161"}};
  for (const auto& [relative, expected] : cases) {
    os::Result<std::string> host = os::relativeHostPath(relative);
    EXPECT_EQ(host.ok() ? host.value() : std::to_string(host.code()), expected) << os::utf8FromUtf16(relative);
  }
}

// Full paths are walked by safe steps: a link is followed only where no other user can change the
// directory it stands in, whoever owns the link, and a directory of another user leads only to
// that user's own objects (a site user can rename root's links and directories in its own tree).
TEST(Root, FullPathsGoOnlyBySafeSteps) {
  if (geteuid() != 0) GTEST_SKIP() << "objects of another owner need root";
  TempDir dir;
  const uid_t user = 54321;
  writeFile(dir.file("decoy/secret"), "x");
  writeFile(dir.file("home/own/file"), "x");
  writeFile(dir.file("home/rootdir/file"), "x");
  // Directories of root: plain, writable by anyone, writable by the user's group.
  for (const auto& [name, mode, group] : {std::tuple{"site", 0755, 0u}, {"open", 0777, 0u}, {"shared", 0775, user}}) {
    ASSERT_EQ(mkdir(dir.file(name).c_str(), mode), 0);
    ASSERT_EQ(chmod(dir.file(name).c_str(), mode), 0);
    ASSERT_EQ(lchown(dir.file(name).c_str(), 0, group), 0);
  }
  for (const char* link : {"site/root-link", "site/user-link", "open/root-link", "shared/root-link", "home/root-link"})
    symlink(dir.file("decoy").c_str(), dir.file(link).c_str());
  symlink("loop", dir.file("site/loop").c_str());
  lchown(dir.file("site/user-link").c_str(), user, user);
  for (const char* owned : {"home", "home/own", "home/own/file"}) lchown(dir.file(owned).c_str(), user, user);
  const auto path = [&](const std::string& relative) { return os::utf16FromUtf8(dir.file(relative)); };
  const struct { const char* path; std::uint32_t code; } cases[] = {
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
  // A root's own last name: a safe link is followed, a directory of another user refused. Root's
  // link that a site user moved into its own tree is
  // HostilePaths.ARootLinkMovedIntoThePanelsPathIsNotFollowed's (tests/e2e).
  EXPECT_EQ(os::Root::open(path("home/rootdir")).code(), os::err::untrustedMountPoint);
  EXPECT_TRUE(os::Root::open(path("site/root-link")).ok());
  EXPECT_TRUE(os::Root::open(path("home/own")).ok());
  EXPECT_TRUE(std::filesystem::exists(dir.file("decoy/secret")));
}

} // namespace
