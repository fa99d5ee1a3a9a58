// VFileName's path operations and the shell path rules beneath them.
#include "runtime/fs/path/filename.h"
#include "runtime/fs/path/shell_path.h"

#include <functional>

#include <gtest/gtest.h>

#include "os/text.h"
#include "tests/support/failure.h"

using testing_support::u8;

namespace {

// Each operation on its cases: {input, result}; combine's input is "base|more".
TEST(VFileName, LexicalOperations) {
  using Op = std::function<std::u16string(const std::u16string&)>;
  const Op combine = [](const std::u16string& in) {
    return VFileName::combine(in.substr(0, in.find(u'|')), in.substr(in.find(u'|') + 1));
  };
  const std::pair<Op, std::vector<std::pair<std::u16string, std::u16string>>> operations[] = {
      {VFileName::normalize,
       {{u"a/b/../x", u"a\\x"}, {u"\\x\\.\\y\\", u"\\x\\y\\"}, {u"/", u"\\"}, {u"", u""}, {u"..\\a", u"..\\a"},
        {u"a\\..\\..\\b", u"..\\b"}, {u"a//b\\\\c", u"a\\b\\c"}, {u"\\\\?\\C:\\a\\..\\b", u"\\\\?\\C:\\b"},
        {u"C:\\a\\..\\..\\b", u"C:\\b"}, {u"C:\\..\\", u"C:\\"}, {u"\\\\.\\pipe\\x\\", u"\\\\.\\pipe\\x\\"},
        {u"\\\\srv\\share", u"\\srv\\share"}, {u"\\a\\..\\", u"\\"}}},
      // The long prefix goes on drive paths only.
      {VFileName::longPath,
       {{u"C:\\a/b", u"\\\\?\\C:\\a\\b"}, {u"C:", u"\\\\?\\C:\\"}, {u"C:\\a\\..\\b\\", u"\\\\?\\C:\\b\\"},
        {u"a\\..\\b", u"a\\..\\b"}, {u"\\\\srv\\s\\..", u"\\\\srv\\s\\.."}, {u"\\\\?\\C:\\x", u"\\\\?\\C:\\x"},
        {u"", u""}}},
      {VFileName::trimTrailingSeparators, {{u"a\\/\\", u"a"}, {u"\\", u""}, {u"a/b", u"a/b"}}},
      // The second part is taken relative to the first.
      {combine,
       {{u"C:\\site|\\blog\\", u"C:\\site\\blog\\"}, {u"C:\\site|", u"C:\\site"}, {u"C:\\site\\|a", u"C:\\site\\a"},
        {u"C:\\a|..\\..\\..\\b", u"C:\\b"}, {u"C:\\a|D:\\x", u"D:\\x"}, {u"C:|a", u"C:\\a"},
        {u"\\var\\www|//site/./x", u"\\var\\www\\site\\x"}, {u"\\\\srv\\share|x/y", u"\\\\srv\\share\\x\\y"},
        {u"rel|x", u"rel\\x"}, {u"|a", u"a"}, {u"\\|a", u"\\a"}, {u"/|a", u"\\a"}, {u"\\|\\a", u"\\a"},
        {u"C:\\|a", u"C:\\a"}}},
      // Parents hide the long prefix.
      {VFileName::removeFileSpec,
       {{u"C:\\a\\b", u"C:\\a"}, {u"C:/a/./b/../c", u"C:\\a"}, {u"C:\\a\\b\\", u"C:\\a\\b"}, {u"C:\\a", u"C:\\"},
        {u"C:\\", u"C:\\"}, {u"C:", u"C:\\"}, {u"\\a", u"\\"}, {u"a", u""}, {u"C:a", u"C:"}, {u"C:a\\b", u"C:a"}}},
  };
  for (const auto& [op, cases] : operations)
    for (const auto& [in, out] : cases) EXPECT_EQ(u8(op(in)), u8(out)) << "input: " << u8(in);
}

TEST(VFileName, CompareRelations) {
  using R = VFileName::Relation;
  const std::tuple<std::u16string, std::u16string, R> cases[] = {
      {u"D:\\A\\b", u"d:/a/B/", R::same},         {u"a\\\\b", u"a/b", R::same},
      {u"\\\\?\\C:\\a", u"c:\\A\\", R::same},     {u"\u00e9\\x", u"\u00c9\\X", R::same},
      {u"D:\\a\\b\\x", u"D:\\a", R::firstBelow},  {u"\\??\\C:\\a\\b", u"C:\\a", R::firstBelow},
      {u"D:\\a", u"D:\\a\\b", R::secondBelow},    {u"", u"\\x", R::secondBelow},
      {u"D:\\ab", u"D:\\b", R::sortsAfter},       {u"D:\\b", u"D:\\ab", R::sortsBefore},
      {u"D:\\a\\x", u"D:\\b", R::sortsBefore},    {u"D:\\b", u"D:\\a", R::sortsAfter},
      {u"D:\\a\\..\\b", u"D:\\b", R::sortsBefore}};
  for (const auto& [a, b, relation] : cases) EXPECT_EQ(VFileName::compare(a, b), relation) << u8(a) << " vs " << u8(b);
}

TEST(VFileName, FailuresNameTheCallAndStatus) {
  const std::u16string nul(u"C:\\a\0b", 6);
  const std::u16string half(20000, u'x');
  // The call, the system call that failed with its arguments, its status, the context.
  const std::tuple<std::function<void()>, std::u16string, const char*, const char*> cases[] = {
      {[&] { VFileName::combine(u"C:\\a", nul); }, u"PathAllocCombine(C:\\a, " + nul + u")", "0x80070057", "combine"},
      {[&] { VFileName::combine(half, half); }, u"PathAllocCombine(" + half + u", " + half + u")", "0x800700ce", "combine"},
      {[&] { VFileName::removeFileSpec(nul); }, u"PathCchRemoveFileSpec(" + nul + u")", "0x80070057", "removeFileSpec"}};
  for (const auto& [call, api, code, function] : cases) {
    const testing_support::Failure f = testing_support::failureOf(call);
    EXPECT_EQ(f.message + " @" + f.context + f.calls,
              u8(api) + " failed: error code " + code + " @VFileName::" + function);
  }
}

// The class of the failure follows its code (Exception.OSErrorsByCode).
TEST(VFileName, LongPathNameOfAMissingPathIsAnOsError) {
  testing_support::TempDir dir;
  const std::u16string missing = os::utf16FromUtf8(dir.file("missing"));
  const testing_support::Failure f = testing_support::failureOf([&] { VFileName::longPathName(missing); });
  EXPECT_EQ(std::to_string(f.code) + " " + f.message + " @" + f.context,
            "2 No such file or directory (Error code 2) at GetLongPathName('" + u8(missing) +
                "') @VFileName::longPathName");
}

// The rules beneath VFileName where its operations cannot reach them (drive paths, "." and ".."
// at the root, the long prefix, the other joins and NUL characters are the tests above): UNC and
// volume roots, relative drive paths, a fully qualified second part, a path that is only its
// root, overlong paths.
TEST(ShellPath, OutcomesAtTheRootsAndTheBounds) {
  using namespace shell_path;
  const std::u16string longest(maxLength, u'a');
  // A path combined with nothing is its canonical form.
  const auto canonical = [](std::u16string in) { return [in] { return combine(in, u""); }; };
  const auto combined = [](std::u16string base, std::u16string more) { return [=] { return combine(base, more); }; };
  const auto removed = [](std::u16string in) { return [in] { return removeFileSpec(in); }; };
  // The call, its status and its path.
  const std::tuple<std::function<Outcome()>, HRESULT, std::u16string> cases[] = {
      {canonical(u"C:a\\..\\b"), S_OK, u"C:b"},
      {canonical(u"a\\..\\..\\b"), S_OK, u"b"},
      {canonical(u"a\\.."), S_OK, u"\\"},
      {canonical(u"a\\...\\b"), S_OK, u"a\\...\\b"},
      {canonical(u"\\\\srv\\share\\a\\..\\.."), S_OK, u"\\\\srv\\share"},
      {canonical(u"\\\\srv\\share\\"), S_OK, u"\\\\srv\\share\\"},
      {canonical(u"\\\\?\\C:"), S_OK, u"\\\\?\\C:\\"},
      {canonical(u"\\\\?\\UNC\\srv\\share\\a\\.."), S_OK, u"\\\\?\\UNC\\srv\\share"},
      {canonical(u"\\\\?\\Volume{1}\\a\\..\\.."), S_OK, u"\\\\?\\Volume{1}"},
      {canonical(longest), S_OK, longest},
      {canonical(longest + u'a'), invalidPath, u""},
      {combined(u"C:\\a", u"\\\\srv\\s\\x"), S_OK, u"\\\\srv\\s\\x"},
      {combined(u"C:\\a", u"D:x"), S_OK, u"C:\\a\\D:x"},
      {combined(longest, u"b"), resultTooLong, u""},
      {removed(u"C:a"), S_OK, u"C:"},
      {removed(u"\\\\srv\\share\\x"), S_OK, u"\\\\srv\\share"},
      {removed(u"C:\\"), S_FALSE, u"C:\\"},
      {removed(u""), S_FALSE, u""},
      {removed(u"\\\\srv\\share"), S_FALSE, u"\\\\srv\\share"},
  };
  for (const auto& [call, status, path] : cases) {
    const Outcome r = call();
    EXPECT_EQ(r.status, status) << u8(path);
    EXPECT_EQ(u8(r.path), u8(path)) << status;
  }
}

} // namespace
