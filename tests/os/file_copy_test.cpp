// Copying a file's data: the bytes that come out and the room they take.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "os/files.h"
#include "os/posix/fd.h"
#include "os/text.h"
#include "tests/support/testing.h"

using testing_support::TempDir;

namespace {

constexpr off_t kGiB = off_t{1} << 30;
constexpr std::size_t kBlock = 4096;

// Whether the bytes that `a` holds where SEEK_DATA finds data are those of `b` at the same
// offsets (reading a gigabyte of holes would take seconds).
bool dataMatches(const std::string& a, const std::string& b) {
  os::posix::Fd first(open(a.c_str(), O_RDONLY)), second(open(b.c_str(), O_RDONLY));
  std::vector<char> x(1 << 20), y(1 << 20);
  for (off_t at = lseek(first.get(), 0, SEEK_DATA); at >= 0; at = lseek(first.get(), at, SEEK_DATA)) {
    const off_t hole = lseek(first.get(), at, SEEK_HOLE);
    for (; at < hole; at += static_cast<off_t>(x.size())) {
      const std::size_t n = static_cast<std::size_t>(std::min<off_t>(hole - at, static_cast<off_t>(x.size())));
      if (pread(first.get(), x.data(), n, at) != static_cast<ssize_t>(n) ||
          pread(second.get(), y.data(), n, at) != static_cast<ssize_t>(n) || !std::equal(x.begin(), x.begin() + n, y.begin()))
        return false;
    }
    at = hole;
  }
  return true;
}

struct stat statOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st;
}

TEST(FileCopy, HolesStayHolesAndTheBytesStayTheSame) {
  struct Case {
    const char* what;
    off_t size;
    std::vector<off_t> data; // where a block of data is written; the rest is a hole
  };
  const Case cases[] = {
      {"data at the start, in the middle and at the end", kGiB, {0, kGiB / 2, kGiB - off_t{kBlock}}},
      {"a trailing hole", kGiB, {0, kGiB / 2}},
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
    EXPECT_EQ(statOf(copy).st_size, c.size) << c.what;
    EXPECT_TRUE(dataMatches(source, copy) && dataMatches(copy, source)) << c.what;
    // A little slack for the file system's own bookkeeping.
    EXPECT_LE(statOf(copy).st_blocks, statOf(source).st_blocks + 64) << c.what;
  }
}

} // namespace
