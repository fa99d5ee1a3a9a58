#include "runtime/fs/path/filename.h"

#include <gtest/gtest.h>

#include "os/text.h"
#include "runtime/core/exception.h"
#include "tests/support/testing.h"

using testing_support::u8;

namespace {

TEST(VFileName, LongPathNameOfAnExistingPathIsThePath) {
  testing_support::TempDir dir;
  testing_support::writeFile(dir.file("f.txt"), "x");
  const std::u16string file = os::utf16FromUtf8(dir.file("f.txt"));
  EXPECT_EQ(u8(VFileName::longPathName(file)), u8(file));
}

TEST(VFileName, LongPathNameOfAMissingPathIsAnOsError) {
  testing_support::TempDir dir;
  const std::u16string missing = os::utf16FromUtf8(dir.file("missing"));
  try {
    VFileName::longPathName(missing);
    ADD_FAILURE() << "no exception";
  } catch (const vosexception& e) {
    EXPECT_EQ(e.code(), 2u);
    EXPECT_NE(dynamic_cast<const VFileNotFoundException*>(&e), nullptr);
    EXPECT_TRUE(
        u8(e.message()).ends_with(" (Error code 2) at GetLongPathName('" + u8(missing) + "')"))
        << u8(e.message());
    ASSERT_EQ(e.contexts().size(), 1u);
    EXPECT_EQ(e.contexts()[0].function, "VFileName::longPathName");
  }
}

} // namespace
