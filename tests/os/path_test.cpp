#include "os/path.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/testing.h"

using testing_support::ScopedRegistry;
using testing_support::TempDir;
using testing_support::u8;
using testing_support::writeFile;

namespace {

std::string devices(std::string_view values) {
  return "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n" + std::string(values);
}

TEST(Path, HostPathMapsDrivesAndRootedPaths) {
  ScopedRegistry reg(devices("\"C:\"=\"/srv/c/\"\n\"d:\"=\"/\"\n\"E:\"=dword:00000001\n"));
  // The path and its host path, or the error code.
  const std::pair<std::u16string, std::string> cases[] = {
      {u"C:\\vhosts\\site1", "/srv/c/vhosts/site1"}, {u"c:/vhosts", "/srv/c/vhosts"},
      {u"\\\\?\\C:\\a", "/srv/c/a"},                  {u"\\??\\C:\\a", "/srv/c/a"},
      {u"C:", "/srv/c"},                              {u"C:x", "/srv/c/x"},
      {u"D:\\etc", "/etc"},                           {u"D:\\", "/"},
      {u"\\var\\www", "/var/www"},                    {u"rel\\a", "rel/a"},
      {u"Q:\\x", "3"},                                {u"E:\\x", "3"},
      {u"\\\\server\\share\\x", "3"},                 {u"\\\\?\\UNC\\server\\share", "3"},
      // ".." never climbs above the drive's directory, whatever the spelling.
      {u"C:..\\x", "/srv/c/x"},                       {u"C:\\..\\x", "/srv/c/x"},
      {u"C:\\a\\..\\..\\x\\.\\y", "/srv/c/x/y"},          {u"C:\\a\\b\\..\\", "/srv/c/a/"},
      {u"D:\\..\\..", "/"},
  };
  for (const auto& [path, expected] : cases) {
    os::Result<std::string> host = os::hostPath(path);
    EXPECT_EQ(host.ok() ? host.value() : std::to_string(host.code()), expected) << u8(path);
  }
}

TEST(Path, WindowsPathTakesTheLongestMappedDirectory) {
  ScopedRegistry reg(devices("\"C:\"=\"/srv\"\n\"d:\"=\"/srv/data/\"\n"));
  struct Case { std::string host; const char16_t* path; };
  const Case cases[] = {
      {"/srv/data/x/y", u"D:\\x\\y"}, {"/srv/x", u"C:\\x"},          {"/srv", u"C:\\"},
      {"/srv/data", u"D:\\"},         {"/srvdata/x", u"\\srvdata\\x"}, {"/etc/passwd", u"\\etc\\passwd"},
      {"rel/a", u"rel\\a"},
  };
  for (const Case& c : cases) EXPECT_EQ(u8(os::windowsPath(c.host)), u8(c.path)) << c.host;
}

TEST(Path, LongPathNameOfExistingAndMissingPaths) {
  TempDir dir;
  writeFile(dir.file("a.txt"), "x");
  ScopedRegistry reg(devices("\"C:\"=\"" + dir.path() + "\"\n"));
  struct Case { std::u16string path; std::uint32_t code; };
  const Case cases[] = {{u"C:\\a.txt", 0},         {u"C:\\missing.txt", 2}, {u"C:\\nodir\\x", 3},
                        {u"C:\\a.txt\\x", 3},      {u"Q:\\a.txt", 3}};
  for (const Case& c : cases) {
    os::Result<std::u16string> r = os::longPathName(c.path);
    EXPECT_EQ(r.ok() ? u8(r.value()) : std::to_string(r.code()), c.code ? std::to_string(c.code) : u8(c.path));
  }
}

TEST(Path, LinkedPathReadsEveryLinkOnTheWay) {
  TempDir dir;
  writeFile(dir.file("real/sub/f"), "x");
  ::symlink(dir.file("real").c_str(), dir.file("absolute").c_str());
  ::symlink("real/sub", dir.file("relative").c_str());
  ::symlink("../absolute", dir.file("real/up").c_str());
  ::symlink("loop", dir.file("loop").c_str());
  ::symlink("nowhere/x", dir.file("dangling").c_str());
  ScopedRegistry reg(devices("\"C:\"=\"" + dir.path() + "\"\n"));
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"C:\\real\\sub\\f", u"C:\\real\\sub\\f"}, {u"C:\\absolute\\sub", u"C:\\real\\sub"},
      {u"C:\\relative\\f", u"C:\\real\\sub\\f"},    {u"C:\\real\\up\\sub", u"C:\\real\\sub"},
      {u"C:\\loop", u"C:\\loop"},                       {u"C:\\dangling", u"C:\\nowhere\\x"}};
  for (const auto& [path, target] : cases) {
    os::Result<std::u16string> r = os::linkedPath(path);
    EXPECT_EQ(r.ok() ? u8(r.value()) : std::to_string(r.code()), u8(target)) << u8(path);
  }
}

} // namespace
