// Whole-process test of --extract-application with a sparse file in the package.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "os/posix/fd.h"
#include "tests/e2e/extract_fixture.h"

using namespace testing_support;

namespace {

TEST_F(Extract, ASparseFileTakesNoMoreRoomInTheSiteThanInThePackage) {
  // A gigabyte with a little data at the start and in the middle, and a hole at the end.
  const std::string big = repository_ + "/demo-1.0/htdocs/big.bin";
  {
    os::posix::Fd out(::open(big.c_str(), O_WRONLY | O_CREAT, 0644));
    ASSERT_EQ(::pwrite(out.get(), "start", 5, 0), 5);
    ASSERT_EQ(::pwrite(out.get(), "middle", 6, off_t{1} << 29), 6);
    ASSERT_EQ(::ftruncate(out.get(), off_t{1} << 30), 0);
  }
  ProcessResult r = extract(packageMetadata());
  ASSERT_EQ(r.exitCode, 0) << r.out;

  struct stat original {}, copied {};
  ASSERT_EQ(::stat(big.c_str(), &original), 0);
  ASSERT_EQ(::stat((app_ + "/big.bin").c_str(), &copied), 0);
  EXPECT_EQ(copied.st_size, original.st_size);
  EXPECT_EQ(copied.st_uid, site_.user.uid());
  char middle[6] = {};
  os::posix::Fd in(::open((app_ + "/big.bin").c_str(), O_RDONLY));
  EXPECT_EQ(::pread(in.get(), middle, 6, off_t{1} << 29), 6);
  EXPECT_EQ(std::string(middle, 6), "middle");
  // A little slack for the file system's own bookkeeping.
  EXPECT_LE(copied.st_blocks, original.st_blocks + 64);
}

} // namespace
