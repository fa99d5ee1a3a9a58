#include "os/error.h"
#include "os/posix/errno_map.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

#include "tests/support/testing.h"

using testing_support::TempDir;
using testing_support::u8;

namespace {

TEST(ErrorTable, ErrnoMapsToTheFirstRowThatListsIt) {
  struct Case { int error; std::uint32_t code; };
  const Case cases[] = {{ENOENT, 2},     {ECONNREFUSED, 2}, {ENOTDIR, 3},    {EPERM, 5},
                        {ENOMEM, 8},     {EEXIST, 183},     {EBUSY, 32},     {ELOOP, 1921},
                        {ENODATA, 259},  {EDQUOT, 112},     {ENOEXEC, 11},   {EXFULL, 0x20000000u | EXFULL}};
  for (const Case& c : cases) EXPECT_EQ(os::posix::win32FromErrno(c.error), c.code) << c.error;
}

TEST(ErrorTable, MessagesAreOurTextTheHostTextOrNone) {
  struct Case { std::uint32_t code; const char* message; };
  const Case cases[] = {
      {2, "No such file or directory"},
      {3, "The path is not found"},       // our text wins over ENOTDIR's
      {80, "File exists"},                // the host text of an errno that maps elsewhere
      {183, "The object already exists"},
      {288, ""},                          // no errno, no text of ours
      {0x20000000u | EXFULL, "Exchange full"},
      {4242, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(u8(os::systemMessage(c.code)), c.message) << c.code;
}

// The missing directories on the way that a lookup reports as ENOENT are
// Path.LongPathNameOfExistingAndMissingPaths's; here, an ENOENT below a file and other errors.
TEST(ErrorTable, AMissingObjectIsFileOrPathNotFound) {
  TempDir dir;
  std::ofstream(dir.file("file")) << "x";
  EXPECT_EQ(os::posix::missingObjectCode(ENOENT, dir.file("file/child")), 3u);
  EXPECT_EQ(os::posix::missingObjectCode(EACCES, dir.file("absent/child")), 5u);
  EXPECT_EQ(os::posix::missingObjectCode(EEXIST, os::posix::Missing::object), 183u);
}

} // namespace
