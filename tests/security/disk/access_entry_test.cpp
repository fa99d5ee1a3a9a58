#include "security/disk/access_entry.h"

#include <gtest/gtest.h>

#include "tests/security/disk/fake_system_helper.h"

using namespace DiskSecurity;
using testing_support::sid;

namespace {

AccessEntry entry(const char16_t* path = u"C:\\site", const char16_t* subPath = u"",
                  const char16_t* account = u"S-1-5-32-545", std::uint32_t aceFlags = 3,
                  std::uint32_t mask = 0x1F01FF, std::int32_t flags = 0,
                  const char16_t* tag = u"", const char16_t* tag2 = u"") {
  return AccessEntry{sid(account), path, subPath, aceFlags, mask, flags, tag, tag2, nullptr};
}

TEST(AccessEntryOrder, KeysCompareInTurn) {
  // Entries of one path and account that differ in the later keys.
  const auto of = [](std::uint32_t aceFlags, std::uint32_t mask = 0x1F01FF, std::int32_t flags = 0,
                     const char16_t* tag = u"", const char16_t* tag2 = u"") {
    return entry(u"C:\\a", u"", u"S-1-1-0", aceFlags, mask, flags, tag, tag2);
  };
  const std::tuple<const char*, AccessEntry, AccessEntry, int> cases[] = { // what, a, b, sign of compareEntries(a, b)
      {"a path before the paths below it", entry(u"C:\\site\\sub"), entry(u"C:\\site"), 1},
      {"paths ignore case and separators", entry(u"c:/SITE/"), entry(u"C:\\site"), 0},
      {"first differing component", entry(u"C:\\a\\z"), entry(u"C:\\b"), -1},
      {"subPath after path", entry(u"C:\\a", u"z"), entry(u"C:\\b", u"a"), -1},
      {"subPath below", entry(u"C:\\a", u"x\\y"), entry(u"C:\\a", u"x"), 1},
      // Sid's operator< (by length, then byte by byte) is tested here: by the two rows below, and by
      // the rows of equal entries, whose equal SIDs must be neither less than the other.
      {"shorter SID first, whatever its bytes", entry(u"C:\\a", u"", u"S-1-5-99"), entry(u"C:\\a", u"", u"S-1-5-32-544"), -1},
      {"SID content", entry(u"C:\\a", u"", u"S-1-5-32-546"), entry(u"C:\\a", u"", u"S-1-5-32-545"), 1},
      {"ACE flags", of(1), of(2), -1},
      {"generic rights mapped", of(3, 0x10000000), of(3, 0x1F01FF), 0},
      {"masks", of(3, 0x120089), of(3, 0x1F01FF), -1},
      {"entry flags are signed", of(3, 0, -1), of(3, 0, 0), -1},
      {"tags ignore case", of(3, 0, 0, u"App"), of(3, 0, 0, u"aPP"), 0},
      {"tag2", of(3, 0, 0, u"x", u"b"), of(3, 0, 0, u"X", u"a"), 1},
  };
  for (const auto& [what, a, b, expected] : cases) {
    const int forward = compareEntries(a, b), backward = compareEntries(b, a);
    EXPECT_EQ((forward > 0) - (forward < 0), expected) << what;
    EXPECT_EQ((backward > 0) - (backward < 0), -expected) << what << " (reversed)";
  }
}

} // namespace
