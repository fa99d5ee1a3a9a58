// Opening beneath a directory, confinement, the lock table and the take-over.
#include "os/posix/walker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "os/files.h"
#include "os/posix/locks.h"
#include "os/text.h"
#include "tests/support/testing.h"

using testing_support::TempDir;
using testing_support::writeFile;

namespace {

using OpenFunction = int (*)(int, std::string_view, int, mode_t);

TEST(Walker, OpeningBeneathRefusesLinksAndEscapes) {
  TempDir dir;
  writeFile(dir.file("base/a/file"), "x");
  writeFile(dir.file("outside"), "x");
  symlink(dir.file("base/a").c_str(), dir.file("base/dirlink").c_str());
  symlink(dir.file("outside").c_str(), dir.file("base/a/filelink").c_str());
  os::posix::Fd base(open(dir.file("base").c_str(), O_PATH | O_DIRECTORY));
  struct Case {
    const char* path;
    int error; // 0: opens
  };
  const Case cases[] = {{"a/file", 0},       {"a", 0},           {"", 0},
                        {"dirlink/file", ELOOP}, {"a/filelink", ELOOP}, {"../outside", EXDEV},
                        {"a/missing", ENOENT}};
  for (OpenFunction openBeneath : {OpenFunction(&os::posix::openBeneath),
                                   OpenFunction(&os::posix::openBeneathByComponents)}) {
    for (const Case& c : cases) {
      errno = 0;
      os::posix::Fd fd(openBeneath(base.get(), c.path, O_RDONLY, 0));
      EXPECT_EQ(fd.valid() ? 0 : errno, c.error) << c.path;
    }
  }
}

TEST(Walker, ConfinedPathsDoNotFollowLinksBelowTheDirectory) {
  TempDir dir;
  writeFile(dir.file("site/real/keep"), "x");
  writeFile(dir.file("decoy/secret"), "x");
  symlink(dir.file("decoy").c_str(), dir.file("site/link").c_str());
  const std::u16string through = os::utf16FromUtf8(dir.file("site/link/secret"));
  {
    os::ConfinedScope scope(os::utf16FromUtf8(dir.file("site")));
    ASSERT_EQ(scope.code(), 0u);
    EXPECT_EQ(os::deleteFile(through, false), os::err::cantResolveFilename);
    EXPECT_EQ(os::fileInformation(through).code(), os::err::cantResolveFilename);
    EXPECT_TRUE(os::fileInformation(os::utf16FromUtf8(dir.file("site/real/keep"))).ok());
    EXPECT_TRUE(os::fileInformation(os::utf16FromUtf8(dir.file("decoy/secret"))).ok());
  }
  EXPECT_TRUE(std::filesystem::exists(dir.file("decoy/secret")));
  EXPECT_TRUE(os::fileInformation(through).ok()); // outside the scope the host resolves it
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

TEST(Walker, TakeOverLeavesHardLinksAndLinksAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
  TempDir dir;
  writeFile(dir.file("foreign"), "x");
  writeFile(dir.file("linked"), "x");
  link(dir.file("linked").c_str(), dir.file("second").c_str());
  symlink("foreign", dir.file("symlink").c_str());
  std::filesystem::create_directories(dir.file("dir"));
  for (const char* name : {"foreign", "linked", "dir"}) {
    chown(dir.file(name).c_str(), 54321, 54321);
    chmod(dir.file(name).c_str(), 0400);
  }
  struct Case {
    const char* name;
    os::TakeOver result;
    uid_t owner;
    mode_t mode;
  };
  const Case cases[] = {{"foreign", os::TakeOver::done, 0, 0600},
                        {"dir", os::TakeOver::done, 0, 0700},
                        {"linked", os::TakeOver::skippedHardLink, 54321, 0400},
                        {"symlink", os::TakeOver::skippedLink, 0, 0}};
  for (const Case& c : cases) {
    os::Result<os::TakeOver> r = os::takeOver(os::utf16FromUtf8(dir.file(c.name)));
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
