// The security store: the ACLs and the stored descriptor of the objects of a walk, which are read
// by name from their directory and opened only to be changed.
#include "os/security_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

#include "os/text.h"
#include "tests/security/disk/acl_lines.h"
#include "tests/support/testing.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class SecurityStore : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "sets ACLs and trusted attributes of files owned by others: needs root";
    ASSERT_TRUE(group_.ok());
    fs::create_directories(dir_.file("tree/sub"));
  }
  // A file of the tree (made when missing; its path below the tree as a walk gives it, "\\a\\b",
  // or as "a/b") with mode 640 and the setfacl -m entries.
  std::string acl(std::string file, const std::string& entries) {
    std::replace(file.begin(), file.end(), '\\', '/');
    const std::string path = dir_.file("tree/" + file);
    if (!fs::exists(path)) writeFile(path, "x");
    fs::permissions(path, fs::perms(0640));
    EXPECT_EQ(entries.empty() ? 0 : runProcess({"/usr/bin/setfacl", "-m", entries, path}).exitCode, 0);
    return path;
  }
  // Walks the tree into every directory, handing each object with its path below the tree.
  void walk(const std::function<void(os::SecurityObject&, const std::string&, int depth)>& visit) {
    os::Result<os::SecurityObject> top = securityObjectAt(dir_.file("tree"));
    ASSERT_TRUE(top.ok());
    const std::size_t below = top.value().path().size();
    EXPECT_EQ(os::walkSecurityTree(top.value(), [&](os::SecurityObject& object, int depth, bool& descend) {
                visit(object, os::utf8FromUtf16(object.path().substr(below)), depth);
                descend = object.state().directory;
                return std::uint32_t{0};
              }),
              0u);
  }

  TempDir dir_;
  ScopedGroup group_;
};

// Objects read as the kernel keeps them; links and other kinds are passed over, hard links marked.
TEST_F(SecurityStore, AWalkReadsWhatTheKernelKeepsAndPassesOverLinks) {
  // That the launcher's runs take the fallback that reads attributes through /proc is checked in
  // Root.ResolvingBeneathRefusesLinksAndEscapes.
  using os::AclTag;
  const std::uint32_t g = group_.gid();
  const std::string named = "g:" + group_.name() + ":";
  const struct Case {
    const char* file;
    std::string entries;
    os::PosixAcl access;
  } cases[] = {
      {"\\plain", "", {{AclTag::UserObj, 0, 6}, {AclTag::GroupObj, 0, 4}, {AclTag::Other, 0, 0}}},
      {"\\sub\\user", "u:0:r-x," + named + "-w-",
       {{AclTag::UserObj, 0, 6}, {AclTag::User, 0, 5}, {AclTag::GroupObj, 0, 4}, {AclTag::Group, g, 2},
        {AclTag::Mask, 0, 7}, {AclTag::Other, 0, 0}}},
  };
  for (const Case& c : cases) acl(c.file, c.entries);
  ASSERT_EQ(runProcess({"/usr/bin/setfacl", "-m", "d:" + named + "r-x", dir_.file("tree/sub")}).exitCode, 0);
  const std::string tree = dir_.file("tree"), outside = dir_.file("outside");
  writeFile(outside + "/o", "x");
  writeFile(tree + "/sub/deep/g", "x");
  fs::create_directory_symlink(outside, tree + "/sub/dirlink");
  fs::create_symlink(outside + "/o", tree + "/filelink");
  fs::create_hard_link(outside + "/o", tree + "/sub/hard");
  ASSERT_EQ(::mkfifo((tree + "/fifo").c_str(), 0600), 0);

  std::map<std::string, os::SecurityState> read;
  std::vector<std::string> seen;
  walk([&](os::SecurityObject& object, const std::string& path, int depth) {
    read[path] = object.state();
    seen.push_back(std::to_string(depth) + " " + path + (object.hardLinked() ? " hard" : ""));
  });
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"1 \\plain", "1 \\sub", "2 \\sub\\deep",
                                            "2 \\sub\\hard hard", "2 \\sub\\user", "3 \\sub\\deep\\g"}));
  for (const Case& c : cases) EXPECT_EQ(read[c.file].access, c.access) << c.file;
  EXPECT_EQ(read["\\sub"].defaults, (os::PosixAcl{{AclTag::UserObj, 0, 7}, {AclTag::GroupObj, 0, 5},
                                                   {AclTag::Group, g, 5}, {AclTag::Mask, 0, 5}, {AclTag::Other, 0, 5}}));
  for (const auto& [refused, code] : {std::pair{tree + "/filelink", 1921u}, {tree + "/fifo", 5u}})
    EXPECT_EQ(securityObjectAt(refused).code(), code) << refused;
}

TEST_F(SecurityStore, TheDescriptorIsKeptForRootOnly) {
  ScopedUser user;
  ASSERT_TRUE(user.ok());
  fs::permissions(dir_.path(), fs::perms(0711));
  const std::string file = acl("owned.txt", "");
  ASSERT_EQ(::chown(file.c_str(), user.uid(), user.gid()), 0);

  os::Result<os::SecurityObject> object = securityObjectAt(file);
  ASSERT_TRUE(object.ok()) << object.code();
  EXPECT_FALSE(object.value().state().hasDescriptor);
  // The store keeps the bytes it is given.
  const std::vector<std::uint8_t> bytes = {1, 0, 4, 0x90, 0xFF, 0x00, 0x7F, 0};
  if (object.value().writeDescriptor(bytes) == os::err::notSupported)
    GTEST_SKIP() << "the file system of " << dir_.path() << " keeps no trusted attributes";

  // The owner can neither rewrite nor remove what root recorded.
  const char* change =
      "/usr/bin/setfattr -n trusted.tavrix.ntacl -v 0x00 \"$0\" || /usr/bin/setfattr -x trusted.tavrix.ntacl \"$0\"";
  EXPECT_NE(runProcess({"/usr/bin/setpriv", "--reuid=" + user.name(), "--regid=" + user.name(), "--init-groups",
                        "/bin/sh", "-c", change, file})
                .exitCode,
            0);
  EXPECT_EQ(securityObjectAt(file).value().state().descriptor, bytes);
}

TEST_F(SecurityStore, AnObjectReplacedAfterItWasReadIsNotChanged) {
  acl("file", "");
  const std::string decoy = acl("decoy", "");
  const std::vector<std::string> decoyAcl = facl(decoy);
  int visited = 0;
  walk([&](os::SecurityObject& object, const std::string& path, int) {
    if (path != "\\file") return;
    ++visited;
    // The name now holds another file than the one that was read.
    std::rename(decoy.c_str(), dir_.file("tree/file").c_str());
    const os::PosixAcl open = {{os::AclTag::UserObj, 0, 7}, {os::AclTag::GroupObj, 0, 7}, {os::AclTag::Other, 0, 7}};
    EXPECT_EQ(object.applyAcl(open, {}), 0u);
    EXPECT_EQ(object.writeDescriptor(std::vector<std::uint8_t>{1, 2, 3}), 0u);
  });
  EXPECT_EQ(visited, 1);
  EXPECT_EQ(facl(dir_.file("tree/file")), decoyAcl);
  EXPECT_EQ(runProcess({"/usr/bin/getfattr", "--absolute-names", "-d", "-m", "trusted.", dir_.file("tree/file")}).out,
            "");
}

} // namespace
