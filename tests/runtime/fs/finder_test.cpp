// VFileFinder: search patterns and the entries it walks.
#include "runtime/fs/finder.h"

#include <algorithm>

#include "tests/runtime/fs/fs_testing.h"

using fs_testing::DriveTest;
using fs_testing::failureOf;
using testing_support::u8;
using testing_support::writeFile;

namespace {

using FinderTest = DriveTest;

TEST(VFileFinder, PatternsMatchAsTheDirectorySearchDoes) {
  // Pattern, name, whether it matches.
  const std::tuple<const char16_t*, const char16_t*, bool> cases[] = {
      {u"*", u"abc", true},          {u"*", u".", true},            {u"*.*", u"abc", true},
      {u"*.*", u"a.b.c", true},      {u"*.*", u"..", true},         {u"*.txt", u"a.txt", true},
      {u"*.txt", u"A.TXT", true},    {u"*.txt", u"a.b.txt", true},  {u"*.txt", u"a.txt.bak", false},
      {u"*.txt", u"atxt", false},    {u"*.", u"abc", true},         {u"*.", u"a.txt", false},
      {u"a?", u"a", true},           {u"a?", u"ab", true},          {u"a?", u"abc", false},
      {u"a?.txt", u"a.txt", true},   {u"a?.txt", u"ab.txt", true},  {u"a?.txt", u"abc.txt", false},
      {u"file.", u"file", true},     {u"*a*", u"bab", true},        {u"a*b", u"axxb", true},
      {u"a*b", u"axxc", false},      {u"install.php", u"Install.PHP", true},
  };
  for (const auto& [pattern, name, matches] : cases)
    EXPECT_EQ(RunTime::File::matchesSearchPattern(name, pattern), matches) << u8(pattern) << " / " << u8(name);
}

TEST_F(FinderTest, WalksTheMatchingEntries) {
  writeFile(host("scripts/install.php"), "x");
  writeFile(host("scripts/remove.php"), "x");
  writeFile(host("scripts/readme.txt"), "x");
  std::filesystem::create_directories(host("scripts/lib.php"));
  VFileFinder finder;
  std::vector<std::string> found;
  for (bool more = finder.first(win("scripts/*.php")); more; more = finder.next())
    found.push_back(u8(finder.name()) + (finder.isDirectory() ? "/" : ""));
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"install.php", "lib.php/", "remove.php"}));
  EXPECT_FALSE(finder.next());

  EXPECT_FALSE(finder.first(win("scripts/*.exe")));
  EXPECT_FALSE(finder.first(win("missing/*")));
  EXPECT_EQ(fs_testing::describe(failureOf([&] { finder.first(win("scr*/x")); })),
            "123 VFileFinder::first at FindFirstFile(" + u8(win("scr*/x")) + ")");
}

} // namespace
