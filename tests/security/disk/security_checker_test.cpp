// The complete checker on a real tree, as root, with entry flags the manager never sets:
// BreakInheritance, SkipPath and RepaireFolder.
#include "security/disk/security_checker.h"

#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "os/security_store.h"
#include "os/text.h"
#include "tests/security/disk/acl_lines.h"
#include "tests/support/testing.h"

using namespace DiskSecurity;
using namespace testing_support;

namespace {

class Checker : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "writes trusted attributes and ACLs: needs root";
    for (auto& group : groups_) ASSERT_TRUE(group.ok());
    for (const char* dir : {"a/b/c", "d"}) std::filesystem::create_directories(dir_.file(dir));
    for (const char* file : {"x.txt", "a/b/c/y.txt", "d/z.txt"}) writeFile(dir_.file(file), "x");
  }

  // Runs a complete checker over the tree with entries (sub path, group, mask, entry flags).
  void commit(const std::vector<std::tuple<std::string, int, std::uint32_t, std::int32_t>>& list) {
    auto helper = std::make_shared<DefaultSystemHelper>();
    EntryCollection entries(helper);
    for (const auto& [sub, group, mask, flags] : list)
      entries.insert({helper->getAccount(os::utf16FromUtf8(groups_[group].name()), u""), root(),
                      os::utf16FromUtf8(sub), 3, mask, flags, u"", u"", helper});
    Callback callback;
    CompleteChecker checker(callback, 1, helper);
    checker.checkPathSecurityByCallbackSecurityInformation(
        std::make_shared<SecurityInformation>(entries, root(), 0, checker.pathResolver(), u"",
                                              false),
        root());
  }
  std::u16string root() const { return os::utf16FromUtf8(dir_.path()); }
  std::string line(int group, const std::string& perms) {
    return "group:" + groups_[group].name() + ":" + perms;
  }

  TempDir dir_;
  ScopedGroup groups_[3];
};

TEST_F(Checker, BrokenInheritanceKeepsWhatWasInheritedAndSkippedPathsStayAlone) {
  commit({{"", 0, 0x1F01FF, Default},
          {"a", 1, 0x1F01FF, BreakInheritance},
          {"a\\b\\c", 2, 0x1F01FF, SkipPath}});
  for (const char* path : {"a/b/c/y.txt", "a/b"}) {
    EXPECT_TRUE(has(facl(dir_.file(path)), line(0, "rwx"))) << path;
    EXPECT_TRUE(has(facl(dir_.file(path)), line(1, "rwx"))) << path;
  }
  EXPECT_FALSE(has(facl(dir_.file("a/b/c")), line(2, "rwx")));
  EXPECT_FALSE(has(facl(dir_.file("x.txt")), line(1, "rwx")));

  // The root's grant narrowed: what lies below the protected directory keeps its copy.
  commit({{"", 0, 0x1200A9, Default},
          {"a", 1, 0x1F01FF, BreakInheritance},
          {"a\\b\\c", 2, 0x1F01FF, SkipPath}});
  EXPECT_TRUE(has(facl(dir_.file("x.txt")), line(0, "r-x")));
  EXPECT_TRUE(has(facl(dir_.file("a/b/c/y.txt")), line(0, "rwx")));
}

TEST_F(Checker, RepairedFolderIsWrittenEvenWhenItsListMatches) {
  const std::vector<std::tuple<std::string, int, std::uint32_t, std::int32_t>> entries = {
      {"", 0, 0x1F01FF, Default}, {"d", 1, 0x1200A9, RepaireFolder}};
  commit(entries);
  EXPECT_TRUE(has(facl(dir_.file("d/z.txt")), line(1, "r-x")));
  // Only the repaired folder's descriptor is written again; its ACLs already hold.
  const std::uint64_t writes = os::securityWriteCount();
  commit(entries);
  EXPECT_EQ(os::securityWriteCount(), writes + 1);
  commit({{"", 0, 0x1F01FF, Default}, {"d", 1, 0x1200A9, Default}});
  EXPECT_EQ(os::securityWriteCount(), writes + 1);
}

} // namespace
