#include "runtime/fs/path/filename.h"

#include <functional>

#include <gtest/gtest.h>

#include "os/text.h"
#include "tests/support/failure.h"

using testing_support::u8;

namespace {

struct Case {
  std::u16string in, out;
};

void expectEach(const std::function<std::u16string(const std::u16string&)>& op,
                std::initializer_list<Case> cases) {
  for (const Case& c : cases)
    EXPECT_EQ(u8(op(c.in)), u8(c.out)) << "input: " << u8(c.in);
}

TEST(VFileName, NormalizeIsLexical) {
  expectEach(VFileName::normalize, {{u"a/b/../x", u"a\\x"},
                                    {u"\\x\\.\\y\\", u"\\x\\y\\"}, {u"/", u"\\"}, {u"", u""},
                                    {u"..\\a", u"..\\a"}, {u"a\\..\\..\\b", u"..\\b"},
                                    {u"a//b\\\\c", u"a\\b\\c"},
                                    {u"\\\\?\\C:\\a\\..\\b", u"\\\\?\\C:\\b"},
                                    {u"C:\\a\\..\\..\\b", u"C:\\b"}, {u"C:\\..\\", u"C:\\"},
                                    {u"\\\\.\\pipe\\x\\", u"\\\\.\\pipe\\x\\"},
                                    {u"\\\\srv\\share", u"\\srv\\share"}, {u"\\a\\..\\", u"\\"}});
}

TEST(VFileName, LongPathPrefixesDrivePathsOnly) {
  expectEach(VFileName::longPath, {{u"C:\\a/b", u"\\\\?\\C:\\a\\b"},
                                   {u"C:", u"\\\\?\\C:\\"}, {u"C:\\a\\..\\b\\", u"\\\\?\\C:\\b\\"},
                                   {u"a\\..\\b", u"a\\..\\b"},
                                   {u"\\\\srv\\s\\..", u"\\\\srv\\s\\.."},
                                   {u"\\\\?\\C:\\x", u"\\\\?\\C:\\x"}, {u"", u""}});
}

TEST(VFileName, TrailingSeparators) {
  expectEach(VFileName::appendSlash, {{u"", u"\\"}, {u"a", u"a\\"}, {u"a\\", u"a\\"}});
  expectEach(VFileName::trimTrailingSeparators,
             {{u"a\\/\\", u"a"}, {u"\\", u""}, {u"a/b", u"a/b"}});
}

TEST(VFileName, CombineTakesMoreRelativeToBase) {
  const Case cases[] = {// in = base|more
                        {u"C:\\site|\\blog\\", u"C:\\site\\blog\\"}, {u"C:\\site|", u"C:\\site"},
                        {u"C:\\site\\|a", u"C:\\site\\a"}, {u"C:\\a|..\\..\\..\\b", u"C:\\b"},
                        {u"C:\\a|D:\\x", u"D:\\x"}, {u"C:|a", u"C:\\a"},
                        {u"\\var\\www|//site/./x", u"\\var\\www\\site\\x"},
                        {u"\\\\srv\\share|x/y", u"\\\\srv\\share\\x\\y"}, {u"rel|x", u"rel\\x"},
                        {u"|a", u"a"}, {u"\\|a", u"\\a"}, {u"/|a", u"\\a"},
                        {u"\\|\\a", u"\\a"}, {u"C:\\|a", u"C:\\a"}};
  for (const Case& c : cases) {
    std::size_t bar = c.in.find(u'|');
    EXPECT_EQ(u8(VFileName::combine(c.in.substr(0, bar), c.in.substr(bar + 1))), u8(c.out))
        << u8(c.in);
  }
}

TEST(VFileName, CanonicalizeAndParentHideTheLongPrefix) {
  expectEach(VFileName::canonicalize, {{u"C:\\a\\.\\b\\..\\c", u"C:\\a\\c"},
                                       {u"C:", u"C:\\"}, {u"C:\\a\\..\\..\\b", u"C:\\b"},
                                       {u"C:\\..", u"C:\\"}, {u"\\\\?\\C:\\a\\..", u"C:\\"},
                                       {u"\\x\\..\\..\\y\\", u"\\y\\"}});
  expectEach(VFileName::removeFileSpec, {{u"C:\\a\\b", u"C:\\a"},
                                         {u"C:/a/./b/../c", u"C:\\a"}, {u"C:\\a\\b\\", u"C:\\a\\b"},
                                         {u"C:\\a", u"C:\\"}, {u"C:\\", u"C:\\"}, {u"C:", u"C:\\"},
                                         {u"\\a", u"\\"}, {u"a", u""}, {u"C:a", u"C:"},
                                         {u"C:a\\b", u"C:a"}});
}

TEST(VFileName, CompareRelations) {
  struct Pair {
    std::u16string a, b;
    VFileName::Relation relation;
  };
  using R = VFileName::Relation;
  const Pair cases[] = {
      {u"D:\\A\\b", u"d:/a/B/", R::same},         {u"a\\\\b", u"a/b", R::same},
      {u"\\\\?\\C:\\a", u"c:\\A\\", R::same},     {u"\u00e9\\x", u"\u00c9\\X", R::same},
      {u"D:\\a\\b\\x", u"D:\\a", R::firstBelow},  {u"\\??\\C:\\a\\b", u"C:\\a", R::firstBelow},
      {u"D:\\a", u"D:\\a\\b", R::secondBelow},    {u"", u"\\x", R::secondBelow},
      {u"D:\\ab", u"D:\\b", R::sortsAfter},       {u"D:\\b", u"D:\\ab", R::sortsBefore},
      {u"D:\\a\\x", u"D:\\b", R::sortsBefore},    {u"D:\\b", u"D:\\a", R::sortsAfter},
      {u"D:\\a\\..\\b", u"D:\\b", R::sortsBefore}};
  for (const Pair& c : cases)
    EXPECT_EQ(VFileName::compare(c.a, c.b), c.relation) << u8(c.a) << " vs " << u8(c.b);
}

TEST(VFileName, FailuresNameTheCallAndStatus) {
  const std::u16string nul(u"C:\\a\0b", 6);
  const std::u16string big(40000, u'x'), half(20000, u'x');
  struct Case {
    std::function<void()> call;
    std::u16string message;
    const char* context;
  };
  const Case cases[] = {
      {[&] { VFileName::combine(u"C:\\a", nul); },
       u"PathAllocCombine(C:\\a, " + nul + u") failed: error code 0x80070057",
       "VFileName::combine"},
      {[&] { VFileName::combine(half, half); },
       u"PathAllocCombine(" + half + u", " + half + u") failed: error code 0x800700ce",
       "VFileName::combine"},
      {[&] { VFileName::canonicalize(big); },
       u"PathAllocCanonicalize(" + big + u") failed: error code 0x80070057",
       "VFileName::canonicalize"},
      {[&] { VFileName::removeFileSpec(nul); },
       u"PathCchRemoveFileSpec(" + nul + u") failed: error code 0x80070057",
       "VFileName::removeFileSpec"}};
  for (const Case& c : cases) {
    const testing_support::Failure f = testing_support::failureOf(c.call);
    EXPECT_EQ(f.message, u8(c.message)) << c.context;
    EXPECT_EQ(f.context, c.context);
    EXPECT_EQ(f.calls, "");
  }
}

TEST(VFileName, LongPathNameOfAMissingPathIsAnOsError) {
  testing_support::TempDir dir;
  const std::u16string missing = os::utf16FromUtf8(dir.file("missing"));
  EXPECT_THROW(VFileName::longPathName(missing), VFileNotFoundException);
  const testing_support::Failure f = testing_support::failureOf([&] { VFileName::longPathName(missing); });
  EXPECT_EQ(f.code, 2u);
  EXPECT_TRUE(f.message.ends_with(" (Error code 2) at GetLongPathName('" + u8(missing) + "')")) << f.message;
  EXPECT_EQ(f.context, "VFileName::longPathName");
}

} // namespace
