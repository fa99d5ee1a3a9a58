#include "runtime/fs/path/shell_path.h"

#include <gtest/gtest.h>

#include "tests/support/testing.h"

using testing_support::u8;
using namespace shell_path;

namespace {

struct Case {
  std::u16string in, out;
};

TEST(ShellPath, CanonicalizeResolvesDotsWithinTheRoot) {
  // Drive paths, "." and ".." at the root and the long prefix are covered through VFileName.
  const Case cases[] = {{u"C:a\\..\\b", u"C:b"}, {u"a\\..\\..\\b", u"b"}, {u"a\\..", u"\\"},
                        {u"a\\...\\b", u"a\\...\\b"},
                        {u"\\\\srv\\share\\a\\..\\..", u"\\\\srv\\share"},
                        {u"\\\\srv\\share\\", u"\\\\srv\\share\\"}, {u"\\\\?\\C:", u"\\\\?\\C:\\"},
                        {u"\\\\?\\UNC\\srv\\share\\a\\..", u"\\\\?\\UNC\\srv\\share"},
                        {u"\\\\?\\Volume{1}\\a\\..\\..", u"\\\\?\\Volume{1}"}};
  for (const Case& c : cases) {
    Outcome r = canonicalize(c.in);
    EXPECT_EQ(r.status, S_OK) << u8(c.in);
    EXPECT_EQ(u8(r.path), u8(c.out)) << u8(c.in);
  }
}

TEST(ShellPath, CombineJoinsWithOneSeparatorUnlessMoreIsFullyQualified) {
  // The other joins are covered through VFileName::combine.
  const Case cases[] = {// in = base|more
                        {u"C:\\a|\\\\srv\\s\\x", u"\\\\srv\\s\\x"}, {u"C:\\a|D:x", u"C:\\a\\D:x"}};
  for (const Case& c : cases) {
    std::size_t bar = c.in.find(u'|');
    Outcome r = combine(c.in.substr(0, bar), c.in.substr(bar + 1));
    EXPECT_EQ(r.status, S_OK) << u8(c.in);
    EXPECT_EQ(u8(r.path), u8(c.out)) << u8(c.in);
  }
}

TEST(ShellPath, RemoveFileSpecStopsAtTheRoot) {
  const Case removed[] = {{u"C:a", u"C:"}, {u"\\\\srv\\share\\x", u"\\\\srv\\share"}};
  for (const Case& c : removed) {
    Outcome r = removeFileSpec(c.in);
    EXPECT_EQ(r.status, S_OK) << u8(c.in);
    EXPECT_EQ(u8(r.path), u8(c.out)) << u8(c.in);
  }
  for (std::u16string root : {u"C:\\", u"", u"\\\\srv\\share"}) {
    Outcome r = removeFileSpec(root);
    EXPECT_EQ(r.status, S_FALSE) << u8(root);
    EXPECT_EQ(r.path, root);
  }
}

// NUL characters are covered through VFileName's failures.
TEST(ShellPath, RejectsOverlongPaths) {
  const std::u16string longest(maxLength, u'a');
  EXPECT_EQ(canonicalize(longest).status, S_OK);
  EXPECT_EQ(canonicalize(longest + u'a').status, invalidPath);
  Outcome tooLong = combine(longest, u"b");
  EXPECT_EQ(tooLong.status, resultTooLong);
  EXPECT_TRUE(tooLong.path.empty());
}

} // namespace
