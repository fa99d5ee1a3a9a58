// The checker on a real tree, as root: which objects the walk looks at, how entry properties
// stop the descent, which lists are written and repaired, the lists that come out, and links (to
// a file, on an entry's way) refused with what they lead to unchanged.
#include "security/disk/security_checker.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

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

LogLines& logged() {
  static std::shared_ptr<LogLines> lines = [] {
    auto made = std::make_shared<LogLines>();
    LogManager::instance().addListener(made);
    return made;
  }();
  return *lines;
}

// What the checker looked at and wrote, by path relative to the root, from its verbose log.
struct Walked {
  std::set<std::string> visited;
  std::map<std::string, int> writes;
};

// Entries as (sub path, group, mask, entry flags).
using Entries = std::vector<std::tuple<std::string, int, std::uint32_t, std::int32_t>>;

class Checker : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "writes trusted attributes and ACLs: needs root";
    for (auto& group : groups_) ASSERT_TRUE(group.ok());
    for (const char* dir : {"a/b/c", "d"}) std::filesystem::create_directories(dir_.file(dir));
    for (const char* file : {"x.txt", "a/y.txt", "a/b/z.txt", "a/b/c/y.txt", "d/w.txt"}) writeFile(dir_.file(file), "x");
    std::filesystem::create_directory_symlink(outside_.path(), dir_.file("link"));
    writeFile(outside_.file("f"), "x");
    std::filesystem::create_symlink(outside_.file("f"), dir_.file("a/flink"));
    logged().take();
  }

  // Runs the checker over the tree with entries (sub path, group, mask, entry flags), all
  // inheriting to files and directories; returns what it looked at and wrote. The lines it
  // logged are kept for the test.
  Walked commit(const Entries& list) {
    auto helper = std::make_shared<DefaultSystemHelper>();
    EntryCollection entries(helper);
    for (const auto& [sub, group, mask, flags] : list)
      entries.insert({helper->getAccount(os::utf16FromUtf8(groups_[group].name()), u""), root(),
                      os::utf16FromUtf8(sub), 3, mask, flags, u"", u"", helper});
    KelvoComponentResolver components(helper);
    auto information = std::make_shared<SecurityInformation>(entries, root(), u"", components, u"", true);
    const RunTime::File::Root opened(root());
    RootSecuredTree tree(opened);
    SecurityChecker(tree, nullptr, true).check(information, u"");
    lines_ = logged().take();
    Walked walked;
    const std::string checked = "Info: Generating ACL for path ", inherited = "Info: Setting inherited security ",
                      explicitly = "Info: Setting explicit security for ";
    for (const std::string& line : lines_) {
      if (line.starts_with(checked)) walked.visited.insert(relative(line.substr(checked.size())));
      if (line.starts_with(inherited)) ++walked.writes[relative(line.substr(line.rfind(" to ") + 4))];
      if (line.starts_with(explicitly))
        ++walked.writes[relative(line.substr(explicitly.size(), line.find(":\n") - explicitly.size()))];
    }
    return walked;
  }
  std::string relative(const std::string& full) const {
    return full.size() > dir_.path().size() ? full.substr(dir_.path().size() + 1) : "";
  }
  std::u16string root() const { return os::utf16FromUtf8(dir_.path()); }
  std::string line(int group, const std::string& perms) { return "group:" + groups_[group].name() + ":" + perms; }

  TempDir dir_;
  TempDir outside_;
  std::vector<std::string> lines_;
  ScopedGroup groups_[3];
};

TEST_F(Checker, EntryPropertiesStopTheDescentBelowTheirPath) {
  const std::string skipped = "Info: Path " + dir_.file("a") + " skipped because of skipPath property";
  // Name, the flags of the entry at "a" ("a\b" carries an entry of its own), the objects
  // checked, and whether "a" is logged as skipped.
  const std::tuple<const char*, std::int32_t, std::set<std::string>, bool> cases[] = {
      {"Default", Default, {"", "a", "a/b"}, false},
      {"SkipPath", SkipPath, {""}, true},
      {"SkipPath with CheckThisPathExactly", SkipPath | CheckThisPathExactly, {"", "a/b"}, false},
  };
  for (const auto& [name, flags, visited, skips] : cases) {
    EXPECT_EQ(commit({{"", 0, 0x1200A9, Default}, {"a", 1, 0x1F01FF, flags}, {"a\\b", 2, 0x1200A9, Default}}).visited,
              visited)
        << name;
    EXPECT_EQ(has(lines_, skipped), skips) << name;
  }
}

// The repair of the projection below a root whose list holds (what the site user cut down behind
// the tool) is tests/e2e's: Extract.UpdateRestoresTheGroupsAccessAndWritesNothingTwice.
TEST_F(Checker, ARepairedFolderIsWrittenEvenWhenItsListMatches) {
  const Entries entries = {{"", 0, 0x1F01FF, Default}, {"d", 1, 0x1200A9, RepaireFolder}};
  commit(entries);
  EXPECT_EQ(commit(entries).writes, (std::map<std::string, int>{{"d", 1}}));
}

TEST_F(Checker, BrokenInheritanceKeepsWhatWasInheritedAndSkippedPathsStayAlone) {
  commit({{"", 0, 0x1F01FF, Default}, {"a", 1, 0x1F01FF, BreakInheritance}, {"a\\b\\c", 2, 0x1F01FF, SkipPath}});
  for (const char* path : {"a/b/c/y.txt", "a/b"}) {
    EXPECT_TRUE(has(facl(dir_.file(path)), line(0, "rwx"))) << path;
    EXPECT_TRUE(has(facl(dir_.file(path)), line(1, "rwx"))) << path;
  }
  EXPECT_FALSE(has(facl(dir_.file("a/b/c")), line(2, "rwx")));
  EXPECT_FALSE(has(facl(dir_.file("x.txt")), line(1, "rwx")));

  // The root's grant narrowed: what lies below the protected directory keeps its copy.
  commit({{"", 0, 0x1200A9, Default}, {"a", 1, 0x1F01FF, BreakInheritance}, {"a\\b\\c", 2, 0x1F01FF, SkipPath}});
  EXPECT_TRUE(has(facl(dir_.file("x.txt")), line(0, "r-x")));
  EXPECT_TRUE(has(facl(dir_.file("a/b/c/y.txt")), line(0, "rwx")));
}

TEST_F(Checker, TheWalkChecksOnlyPathsWithEntriesAndNeverFollowsALink) {
  std::filesystem::create_directory(outside_.file("inner"));
  const auto before = changeTimes(outside_.path());
  const Entries entries = {{"", 0, 0x1F01FF, Default}, {"a\\b", 1, 0x1200A9, Default}, {"a\\flink", 1, 0x1F01FF, Default}};
  // Only the paths with entries of their own get a list; the rest inherits.
  Walked first = commit(entries);
  EXPECT_EQ(first.visited, (std::set<std::string>{"", "a/b"}));
  EXPECT_EQ(first.writes, (std::map<std::string, int>{{"", 1}, {"a/b", 1}}));
  // A link is named with where it leads; an entry on it is never applied.
  std::vector<std::string> warnings = lines_;
  std::erase_if(warnings, [](const std::string& l) { return !l.starts_with("Warning: "); });
  EXPECT_EQ(warnings, (std::vector<std::string>{"Warning: Cannot apply security to path " + dir_.file("a/flink") +
                                                ", because it points to another path " + outside_.file("f") +
                                                ". Links are not allowed."}));
  // The lists as the first commit leaves them: a/b's takes in what the root's passes down (the
  // next commit's repair below the root would mend a write that missed it).
  const auto sorted = [](std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  EXPECT_EQ(sorted(facl(dir_.file("a/b"))),
            sorted({"user::rwx", "group::r-x", line(0, "rwx"), line(1, "r-x"), "mask::rwx", "other::r-x",
                    "default:user::rwx", "default:group::r-x", "default:" + line(0, "rwx"),
                    "default:" + line(1, "r-x"), "default:mask::rwx", "default:other::r-x"}));
  EXPECT_EQ(sorted(facl(dir_.file("a/b/c/y.txt"))),
            sorted({"user::rw-", "group::r--", line(0, "rwx"), line(1, "r-x"), "mask::rwx", "other::r--"}));
  // Lists that hold are not written again.
  EXPECT_EQ(commit(entries).writes, (std::map<std::string, int>{}));
  // An entry on the way through a link to a directory.
  commit({{"link\\inner", 2, 0x1F01FF, Default}});
  EXPECT_EQ(changeTimes(outside_.path()), before);
}

} // namespace
