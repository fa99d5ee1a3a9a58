// The objects of a security walk are read by name from their directory and opened only to be
// changed: what they read as, and that a file replaced after it was read is not the one changed.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "os/security_store.h"
#include "os/text.h"
#include "tests/security/disk/acl_lines.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

class SecurityObjectOfAWalk : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "sets ACLs of files owned by others: needs root";
    ASSERT_TRUE(group_.ok());
    std::filesystem::create_directories(dir_.file("tree/sub"));
  }
  os::SecurityObject tree() {
    os::Result<os::SecurityObject> top = testing_support::securityObjectAt(dir_.file("tree"));
    EXPECT_TRUE(top.ok());
    return std::move(top.value());
  }
  std::string acl(const std::string& file, const std::string& entries) {
    const std::string path = dir_.file("tree/" + file);
    if (!std::filesystem::exists(path)) writeFile(path, "x");
    runProcess({"/usr/bin/chmod", "640", path});
    if (!entries.empty()) {
      EXPECT_EQ(runProcess({"/usr/bin/setfacl", "-m", entries, path}).exitCode, 0);
    }
    return path;
  }

  TempDir dir_;
  ScopedGroup group_;
};

TEST_F(SecurityObjectOfAWalk, ReadsAsTheKernelKeepsIt) {
  using os::AclTag;
  const std::uint32_t g = group_.gid();
  const std::string named = "g:" + group_.name() + ":";
  const struct Case {
    const char* file;
    std::string entries; // setfacl -m, after chmod 640
    os::PosixAcl access;
  } cases[] = {
      {"plain", "", {{AclTag::UserObj, 0, 6}, {AclTag::GroupObj, 0, 4}, {AclTag::Other, 0, 0}}},
      {"granted", named + "rwx",
       {{AclTag::UserObj, 0, 6}, {AclTag::GroupObj, 0, 4}, {AclTag::Group, g, 7}, {AclTag::Mask, 0, 7},
        {AclTag::Other, 0, 0}}},
      {"user", "u:0:r-x," + named + "-w-",
       {{AclTag::UserObj, 0, 6}, {AclTag::User, 0, 5}, {AclTag::GroupObj, 0, 4},
        {AclTag::Group, g, 2}, {AclTag::Mask, 0, 7}, {AclTag::Other, 0, 0}}},
  };
  for (const Case& c : cases) acl(c.file, c.entries);
  ASSERT_EQ(runProcess({"/usr/bin/setfacl", "-m", "d:" + named + "r-x", dir_.file("tree/sub")}).exitCode, 0);

  std::map<std::string, os::SecurityState> read;
  ASSERT_EQ(os::walkSecurityTree(tree(), [&](os::SecurityObject& object, int, bool& descend) {
              const std::u16string path = object.path();
              read[os::utf8FromUtf16(path.substr(path.find_last_of(u"\\/") + 1))] = object.state();
              descend = true;
              return std::uint32_t{0};
            }),
            0u);
  for (const Case& c : cases) EXPECT_EQ(read[c.file].access, c.access) << c.file;
  EXPECT_EQ(read["sub"].defaults,
            (os::PosixAcl{{AclTag::UserObj, 0, 7}, {AclTag::GroupObj, 0, 5}, {AclTag::Group, g, 5},
                          {AclTag::Mask, 0, 5}, {AclTag::Other, 0, 5}}));
}

TEST_F(SecurityObjectOfAWalk, ReplacedAfterItWasReadIsNotChanged) {
  acl("file", "");
  const std::string decoy = acl("decoy", "");
  const std::vector<std::string> decoyAcl = facl(decoy);
  int visited = 0;
  ASSERT_EQ(os::walkSecurityTree(tree(), [&](os::SecurityObject& object, int, bool&) {
              const std::u16string path = object.path();
              if (path.substr(path.size() - 4) != u"file") return std::uint32_t{0};
              ++visited;
              // The name now holds another file than the one that was read.
              std::rename(decoy.c_str(), dir_.file("tree/file").c_str());
              os::PosixAcl granted = object.state().access;
              granted.push_back({os::AclTag::Group, group_.gid(), 7});
              granted.push_back({os::AclTag::Mask, 0, 7});
              std::sort(granted.begin(), granted.end());
              EXPECT_EQ(object.applyAcl(granted, {}), 0u);
              EXPECT_EQ(object.writeDescriptor(std::vector<std::uint8_t>{1, 2, 3}), 0u);
              return std::uint32_t{0};
            }),
            0u);
  EXPECT_EQ(visited, 1);
  EXPECT_EQ(facl(dir_.file("tree/file")), decoyAcl);
  EXPECT_EQ(runProcess({"/usr/bin/getfattr", "--absolute-names", "-d", "-m", "trusted.",
                        dir_.file("tree/file")})
                .out,
            "");
}

} // namespace
