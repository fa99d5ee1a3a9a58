// The checkers on a real tree, as root: the lists the full walk leaves, links to a directory and
// to a file refused with what they lead to unchanged, and entry flags the manager never sets
// (BreakInheritance, SkipPath).
#include "security/disk/security_checker.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "os/text.h"
#include "runtime/fs/root.h"
#include "security/disk/component_resolver.h"
#include "security/disk/root_secured_tree.h"
#include "tests/security/disk/acl_lines.h"
#include "tests/support/log_lines.h"
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
    std::filesystem::create_directory_symlink(outside_.path(), dir_.file("link"));
    writeFile(outside_.file("f"), "x");
    std::filesystem::create_symlink(outside_.file("f"), dir_.file("a/flink"));
  }

  // Runs a checker over the tree with entries (sub path, group, mask, entry flags): the
  // complete one, or the full walk.
  void commit(const std::vector<std::tuple<std::string, int, std::uint32_t, std::int32_t>>& list,
              bool fullWalk = false) {
    auto helper = std::make_shared<DefaultSystemHelper>();
    EntryCollection entries(helper);
    for (const auto& [sub, group, mask, flags] : list)
      entries.insert({helper->getAccount(os::utf16FromUtf8(groups_[group].name()), u""), root(),
                      os::utf16FromUtf8(sub), 3, mask, flags, u"", u"", helper});
    Callback callback;
    KelvoComponentResolver components(helper);
    auto information =
        std::make_shared<SecurityInformation>(entries, root(), u"", 0, components, u"", false);
    const RunTime::File::Root opened(root());
    RootSecuredTree tree(opened);
    if (fullWalk) {
      SecurityChecker checker(tree, callback, nullptr, 1, false);
      checker.setFullWalk(true);
      checker.checkPathSecurityByCallbackSecurityInformation(information, u"");
    } else {
      CompleteChecker(tree, callback, nullptr, 1, false)
          .checkPathSecurityByCallbackSecurityInformation(information, u"");
    }
  }
  std::u16string root() const { return os::utf16FromUtf8(dir_.path()); }
  std::string line(int group, const std::string& perms) {
    return "group:" + groups_[group].name() + ":" + perms;
  }

  TempDir dir_;
  TempDir outside_;
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

TEST_F(Checker, TheFullWalkLeavesEachObjectItsListAndNeverFollowsALink) {
  const std::vector<std::string> outside = facl(outside_.path()), outsideFile = facl(outside_.file("f"));
  auto log = std::make_shared<LogLines>();
  LogManager::instance().addListener(log);
  commit({{"", 0, 0x1F01FF, Default}, {"a\\b", 1, 0x1200A9, Default}, {"a\\flink", 1, 0x1F01FF, Default}}, true);
  const auto sorted = [](std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  EXPECT_EQ(sorted(facl(dir_.file("a/b"))),
            sorted({"user::rwx", "group::r-x", line(0, "rwx"), line(1, "r-x"), "mask::rwx",
                    "other::r-x", "default:user::rwx", "default:group::r-x",
                    "default:" + line(0, "rwx"), "default:" + line(1, "r-x"),
                    "default:mask::rwx", "default:other::r-x"}));
  EXPECT_EQ(sorted(facl(dir_.file("a/b/c/y.txt"))),
            sorted({"user::rw-", "group::r--", line(0, "rwx"), line(1, "r-x"), "mask::rwx",
                    "other::r--"}));
  EXPECT_EQ(facl(dir_.file("x.txt")),
            (std::vector<std::string>{"user::rw-", "group::r--", line(0, "rwx"), "mask::rwx",
                                      "other::r--"}));
  EXPECT_EQ(facl(outside_.path()), outside);
  EXPECT_EQ(facl(outside_.file("f")), outsideFile);
  // Each link is named with where it leads.
  const std::string refused = "Warning: Cannot apply security to path ";
  EXPECT_EQ(sorted(log->lines()),
            sorted({
                refused + dir_.file("link") + ", because it points to another path " + outside_.path() +
                    ". Links are not allowed.",
                refused + dir_.file("a/flink") + ", because it points to another path " + outside_.file("f") +
                    ". Links are not allowed."}));
}

} // namespace
