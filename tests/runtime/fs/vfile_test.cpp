// VFile, temporary files and VFileFinder.
#include <sys/stat.h>

#include <algorithm>
#include <regex>

#include "runtime/fs/finder.h"
#include "runtime/fs/files.h"
#include "runtime/fs/vfile.h"
#include "tests/runtime/fs/fs_testing.h"

using fs_testing::DriveTest;
using fs_testing::failureOf;
using testing_support::u8;
using testing_support::writeFile;

namespace {

using VFileTest = DriveTest;

TEST_F(VFileTest, WriteSeekReadAndReadAll) {
  VFile file;
  file.open(win("log.txt"), os::GENERIC_READ | os::GENERIC_WRITE, os::FILE_SHARE_READ,
            os::CREATE_ALWAYS, 0);
  std::string data(3000, 'a');
  data[2999] = 'z';
  EXPECT_EQ(file.write(data.data(), 3000), 3000u);
  std::int32_t high = -1; // with a high part the distance is high:low, so -1 is -1:-1
  EXPECT_EQ(file.seek(-1, &high, os::FILE_END), 2999u);
  EXPECT_EQ(high, 0);
  char last = 0;
  EXPECT_EQ(file.read(&last, 1), 1u);
  EXPECT_EQ(last, 'z');
  EXPECT_EQ(file.read(&last, 1), 0u); // the end is not a failure
  EXPECT_EQ(file.seek(0, nullptr, os::FILE_BEGIN), 0u);
  EXPECT_EQ(file.readAll(), data);
  file.close();
  EXPECT_EQ(VFile::readAll(win("log.txt")), data);
}

TEST_F(VFileTest, OpenFailuresKeepThePathAsGiven) {
  writeFile(host("exists"), "x");
  struct Case {
    std::u16string path;
    std::uint32_t disposition, code;
  };
  const Case cases[] = {
      {win("missing"), os::OPEN_EXISTING, 2},
      {win("no/dir/f"), os::CREATE_ALWAYS, 3},
      {win("exists"), os::CREATE_NEW, 80},
  };
  for (const Case& c : cases) {
    VFile file;
    fs_testing::Failure f =
        failureOf([&] { file.open(c.path, os::GENERIC_WRITE, 0, c.disposition, 0); });
    EXPECT_TRUE(f.message.ends_with(" at Open file '" + u8(c.path) + "'")) << f.message;
    EXPECT_EQ(f.code, c.code) << f.message;
    EXPECT_EQ(f.context, "VFile::open");
    EXPECT_FALSE(file.isOpen());
  }
}

TEST_F(VFileTest, TemporaryFilesAreNewAndEmpty) {
  fs_testing::Failure f = failureOf([&] { tempFileName(win("tmp"), u"pre"); });
  EXPECT_TRUE(f.message.ends_with(" at GetTempFileName in " + u8(win("tmp")))) << f.message;
  EXPECT_EQ(f.context, "tempFileName");
  std::filesystem::create_directories(host("tmp"));
  const std::u16string a = tempFileName(win("tmp"), u"pre");
  const std::u16string b = tempFileName(win("tmp"), u"pre");
  EXPECT_NE(a, b);
  EXPECT_TRUE(std::regex_match(u8(a), std::regex(R"(C:\\tmp\\pre[0-9A-F]{4}\.TMP)"))) << u8(a);
  EXPECT_EQ(std::filesystem::file_size(host("tmp/" + u8(a).substr(7))), 0u);

  // A missing temporary directory is made, open to every account.
  const char* previous = std::getenv("TMPDIR");
  const std::string saved = previous ? previous : "";
  setenv("TMPDIR", host("t/missing").c_str(), 1);
  EXPECT_EQ(u8(tempPath()), u8(win("t/missing/")));
  previous ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");
  EXPECT_EQ(std::filesystem::status(host("t/missing")).permissions(), std::filesystem::perms::all |
                                                                        std::filesystem::perms::sticky_bit);

  // The program's temporary files go to PRODUCT_ROOT_D\PrivateTemp when it exists.
  registry_.write("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + root_.path() +
                  "\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                  "\"PRODUCT_ROOT_D\"=\"C:\\\\product\"\n");
  std::filesystem::create_directories(host("product/PrivateTemp"));
  const std::string name = u8(VFile::temporaryFileName());
  EXPECT_TRUE(std::regex_match(
      name, std::regex(R"(C:\\product\\PrivateTemp\\[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}[0-9A-F]{4}\.TMP)")))
      << name;
}

TEST(VFileFinder, PatternsMatchAsTheDirectorySearchDoes) {
  struct Case {
    const char16_t* pattern;
    const char16_t* name;
    bool matches;
  };
  const Case cases[] = {
      {u"*", u"abc", true},          {u"*", u".", true},            {u"*.*", u"abc", true},
      {u"*.*", u"a.b.c", true},      {u"*.*", u"..", true},         {u"*.txt", u"a.txt", true},
      {u"*.txt", u"A.TXT", true},    {u"*.txt", u"a.b.txt", true},  {u"*.txt", u"a.txt.bak", false},
      {u"*.txt", u"atxt", false},    {u"*.", u"abc", true},         {u"*.", u"a.txt", false},
      {u"a?", u"a", true},           {u"a?", u"ab", true},          {u"a?", u"abc", false},
      {u"a?.txt", u"a.txt", true},   {u"a?.txt", u"ab.txt", true},  {u"a?.txt", u"abc.txt", false},
      {u"file.", u"file", true},     {u"*a*", u"bab", true},        {u"a*b", u"axxb", true},
      {u"a*b", u"axxc", false},      {u"install.php", u"Install.PHP", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(RunTime::File::matchesSearchPattern(c.name, c.pattern), c.matches)
        << u8(c.pattern) << " / " << u8(c.name);
}

TEST_F(VFileTest, FinderWalksTheMatchingEntries) {
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
  EXPECT_TRUE(finder.isDots()); // no current entry

  EXPECT_FALSE(finder.first(win("scripts/*.exe")));
  EXPECT_FALSE(finder.first(win("missing/*")));
  fs_testing::Failure f = failureOf([&] { finder.first(win("scr*/x")); });
  EXPECT_TRUE(f.message.ends_with(" at FindFirstFile(" + u8(win("scr*/x")) + ")")) << f.message;
  EXPECT_EQ(f.context, "VFileFinder::first");
}

} // namespace
