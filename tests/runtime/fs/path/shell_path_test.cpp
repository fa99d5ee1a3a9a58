#include "runtime/fs/path/shell_path.h"

#include <functional>

#include <gtest/gtest.h>

#include "tests/support/testing.h"

using testing_support::u8;
using namespace shell_path;

namespace {

// What VFileName cannot reach (drive paths, "." and ".." at the root, the long prefix, the other
// joins and NUL characters are filename_test.cpp's): UNC and volume roots, relative drive paths,
// a fully qualified second part, a path that is only its root, overlong paths.
TEST(ShellPath, OutcomesAtTheRootsAndTheBounds) {
  const std::u16string longest(maxLength, u'a');
  const auto canonical = [](std::u16string in) { return [in] { return canonicalize(in); }; };
  const auto combined = [](std::u16string base, std::u16string more) { return [=] { return combine(base, more); }; };
  const auto removed = [](std::u16string in) { return [in] { return removeFileSpec(in); }; };
  struct Case {
    std::function<Outcome()> call;
    HRESULT status;
    std::u16string path;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    const Outcome r = c.call();
    EXPECT_EQ(r.status, c.status) << u8(c.path);
    EXPECT_EQ(u8(r.path), u8(c.path)) << c.status;
  }
}

} // namespace
