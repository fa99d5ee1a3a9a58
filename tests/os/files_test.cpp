// Files: copying a file's data (the bytes that come out and the room they take), taking an
// object over, and who holds a lock on one.
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "os/files.h"
#include "os/posix/fd.h"
#include "os/posix/locks.h"
#include "os/text.h"
#include "tests/support/testing.h"

using testing_support::TempDir;
using testing_support::writeFile;

namespace {

// Large enough for holes between blocks of data, small enough to be read whole.
constexpr off_t kSize = off_t{1} << 20;
constexpr std::size_t kBlock = 4096;

struct stat statOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st;
}

TEST(Files, HolesStayHolesAndTheBytesStayTheSame) {
  struct Case {
    const char* what;
    off_t size;
    std::vector<off_t> data; // where a block of data is written; the rest is a hole
  };
  const Case cases[] = {
      {"data at the start, in the middle and at the end", kSize, {0, kSize / 2, kSize - off_t{kBlock}}},
      {"a trailing hole", kSize, {0, kSize / 2}},
      {"no hole", 3 * off_t{kBlock}, {0, off_t{kBlock}, 2 * off_t{kBlock}}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const std::string source = dir.file("source"), copy = dir.file("copy");
    {
      os::posix::Fd out(open(source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
      for (const off_t at : c.data) {
        std::string block(kBlock, '\0');
        for (std::size_t i = 0; i < kBlock; ++i) block[i] = static_cast<char>((at / kBlock + i) % 251 + 1);
        ASSERT_EQ(pwrite(out.get(), block.data(), block.size(), at), static_cast<ssize_t>(kBlock)) << c.what;
      }
      ASSERT_EQ(ftruncate(out.get(), c.size), 0) << c.what;
    }
    unlink(copy.c_str());
    testing_support::ParentOf from = testing_support::parentOf(source), to = testing_support::parentOf(copy);
    ASSERT_EQ(os::copyFileData(from.root, from.name, to.root, to.name, false), 0u) << c.what;
    EXPECT_TRUE(testing_support::readFile(copy) == testing_support::readFile(source)) << c.what;
    // A little slack for the file system's own bookkeeping.
    EXPECT_LE(statOf(copy).st_blocks, statOf(source).st_blocks + 64) << c.what;
  }
}

TEST(Files, TheLockTableKnowsWhoHoldsWhat) {
  const std::string text =
      "1: FLOCK  ADVISORY  WRITE 4242 fd:01:100 0 EOF\n"
      "1: -> FLOCK  ADVISORY  WRITE 4343 fd:01:200 0 EOF\n"
      "2: POSIX  ADVISORY  WRITE 77 08:02:300 0 EOF\n"
      "3: OFDLCK ADVISORY  READ  -1 08:02:400 0 EOF\n"
      "garbage\n";
  os::posix::LockTable table = os::posix::LockTable::parse(text, 77);
  struct Case { unsigned major, minor; ino_t inode; bool locked; };
  const Case cases[] = {{0xfd, 1, 100, true}, {0xfd, 1, 200, false}, {8, 2, 300, false},
                        {8, 2, 400, true},    {8, 2, 100, false}};
  for (const Case& c : cases)
    EXPECT_EQ(table.locked(makedev(c.major, c.minor), c.inode), c.locked) << c.inode;
}

TEST(Files, TakeOverChangesOnlyTheKindItWasAskedForWithOneLink) {
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
  struct Case { const char* name; os::ObjectKind kind; os::TakeOver result; uid_t owner; mode_t mode; };
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
