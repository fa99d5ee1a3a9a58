#include "os/security_store.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "os/text.h"
#include "tests/support/testing.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {


TEST(SecurityStore, DescriptorIsKeptForRootOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "the trusted attribute namespace needs root";
  TempDir tmp;
  ScopedUser user;
  ASSERT_TRUE(user.ok());
  fs::permissions(tmp.path(), fs::perms(0711));
  const std::string file = tmp.file("owned.txt");
  std::ofstream(file) << "x";
  ASSERT_EQ(runProcess({"/usr/bin/chown", user.name() + ":", file}).exitCode, 0);

  os::Result<os::SecurityObject> object = testing_support::securityObjectAt(file);
  ASSERT_TRUE(object.ok()) << object.code();
  EXPECT_FALSE(object.value().state().hasDescriptor);
  // The store keeps the bytes it is given.
  const std::vector<std::uint8_t> bytes = {1, 0, 4, 0x90, 0xFF, 0x00, 0x7F, 0};
  if (object.value().writeDescriptor(bytes) == os::err::notSupported)
    GTEST_SKIP() << "the file system of " << tmp.path() << " keeps no trusted attributes";
  EXPECT_EQ(testing_support::securityObjectAt(file).value().state().descriptor, bytes);

  // The owner can neither rewrite nor remove what root recorded.
  for (std::vector<std::string> change :
       {std::vector<std::string>{"-n", "trusted.tavrix.ntacl", "-v", "0x00"},
        std::vector<std::string>{"-x", "trusted.tavrix.ntacl"}}) {
    std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + user.name(),
                                     "--regid=" + user.name(), "--init-groups",
                                     "/usr/bin/setfattr"};
    argv.insert(argv.end(), change.begin(), change.end());
    argv.push_back(file);
    EXPECT_NE(runProcess(argv).exitCode, 0) << change[0];
  }
  EXPECT_EQ(testing_support::securityObjectAt(file).value().state().descriptor, bytes);
}

TEST(SecurityStore, WalkPassesOverLinksAndReportsHardLinks) {
  // Under the launcher the kernel's calls that read attributes by name are gone, so the walk
  // reads a file's attributes through /proc.
  for (auto [name, number] : {std::pair<const char*, long>{"getxattrat", 464}, {"listxattrat", 465}}) {
    if (!launcherRefuses(name)) continue;
    const long got = syscall(number, AT_FDCWD, ".", 0, nullptr, 0, 0);
    EXPECT_EQ(got < 0 ? errno : 0, ENOSYS) << name;
  }
  TempDir tmp;
  const std::string root = tmp.file("root"), outside = tmp.file("outside");
  fs::create_directories(root + "/a/b");
  fs::create_directories(outside + "/deep");
  for (const std::string& file : {root + "/f", root + "/a/b/g", outside + "/o"})
    std::ofstream(file) << "x";
  fs::create_directory_symlink(outside, root + "/a/dirlink");
  fs::create_symlink(outside + "/o", root + "/filelink");
  fs::create_hard_link(outside + "/o", root + "/a/hard");
  ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0600), 0);

  os::Result<os::SecurityObject> object = testing_support::securityObjectAt(root);
  ASSERT_TRUE(object.ok());
  std::vector<std::string> seen;
  std::uint32_t code = os::walkSecurityTree(
      object.value(), [&](os::SecurityObject& o, int depth, bool& descend) -> std::uint32_t {
        seen.push_back(std::to_string(depth) + " " +
                       os::utf8FromUtf16(o.path().substr(object.value().path().size())) +
                       (o.hardLinked() ? " hard" : ""));
        descend = o.state().directory;
        return 0;
      });
  EXPECT_EQ(code, 0u);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"1 \\a", "1 \\f", "2 \\a\\b", "2 \\a\\hard hard",
                                            "3 \\a\\b\\g"}));
  for (const std::string& refused : {root + "/filelink", root + "/fifo"})
    EXPECT_NE(testing_support::securityObjectAt(refused).code(), 0u) << refused;
}

} // namespace
