// The checkers on a real tree, as root: which objects the fast and the full walk look at, how
// entry properties stop the descent, which lists are written and repaired, the lists that come
// out, and links (to a directory, to a file, on an entry's way) refused with what they lead to
// unchanged.
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

// What the checker asks about and writes, by path relative to the root with "/" separators.
struct Recorder : Callback {
  explicit Recorder(std::size_t rootLength) : rootLength(rootLength) {}
  std::string relative(const std::u16string& path) const {
    std::string text = path.size() > rootLength ? u8(path.substr(rootLength + 1)) : "";
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
  }
  int onPath(const std::u16string& path, bool) override {
    visited.insert(relative(path));
    return CHECK_DONE;
  }
  int onWritten(const std::u16string& path, bool) override {
    ++writes[relative(path)];
    return CHECK_DONE;
  }
  std::size_t rootLength;
  std::set<std::string> visited;
  std::map<std::string, int> writes;
};

LogLines& logged() {
  static std::shared_ptr<LogLines> lines = [] {
    auto made = std::make_shared<LogLines>();
    LogManager::instance().addListener(made);
    return made;
  }();
  return *lines;
}

const std::set<std::string> kEverything = {"",    "x.txt", "a",         "a/y.txt",     "a/b",
                                           "a/b/z.txt", "a/b/c", "a/b/c/y.txt", "d", "d/w.txt"};

enum class Walk { fast, full, complete };

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

  // Runs a checker over the tree with entries (sub path, group, mask, entry flags), all
  // inheriting to files and directories; returns what it asked about and wrote.
  Recorder commit(const Entries& list, Walk walk = Walk::complete) {
    auto helper = std::make_shared<DefaultSystemHelper>();
    EntryCollection entries(helper);
    for (const auto& [sub, group, mask, flags] : list)
      entries.insert({helper->getAccount(os::utf16FromUtf8(groups_[group].name()), u""), root(),
                      os::utf16FromUtf8(sub), 3, mask, flags, u"", u"", helper});
    Recorder recorder(root().size());
    KelvoComponentResolver components(helper);
    auto information = std::make_shared<SecurityInformation>(entries, root(), u"", 0, components, u"", true);
    const RunTime::File::Root opened(root());
    RootSecuredTree tree(opened);
    if (walk == Walk::complete) {
      CompleteChecker(tree, recorder, nullptr, 1, true).checkPathSecurityByCallbackSecurityInformation(information, u"");
    } else {
      SecurityChecker checker(tree, recorder, nullptr, 1, true);
      checker.setFullWalk(walk == Walk::full);
      checker.checkPathSecurityByCallbackSecurityInformation(information, u"");
    }
    return recorder;
  }
  std::u16string root() const { return os::utf16FromUtf8(dir_.path()); }
  std::string line(int group, const std::string& perms) { return "group:" + groups_[group].name() + ":" + perms; }

  TempDir dir_;
  TempDir outside_;
  ScopedGroup groups_[3];
};

TEST_F(Checker, EntryPropertiesStopTheDescentBelowTheirPath) {
  constexpr std::int32_t exactly = CheckThisPathExactly;
  const std::string a = "Info: No propagate security to " + dir_.file("a") + " children";
  // Name, the flags of the entry at "a" ("a\b" carries an entry of its own), the objects visited
  // and lines logged.
  const std::tuple<const char*, std::int32_t, std::set<std::string>, std::vector<std::string>> cases[] = {
      {"SkipPath", SkipPath, {"", "x.txt", "d", "d/w.txt"},
       {"Info: Path " + dir_.file("a") + " skipped because of skipPath property"}},
      {"NoPropagate", NoPropagate, {"", "x.txt", "a", "d", "d/w.txt"}, {a}},
      {"SkipPath with CheckThisPathExactly", SkipPath | exactly,
       {"", "x.txt", "a/b", "a/b/z.txt", "a/b/c", "a/b/c/y.txt", "d", "d/w.txt"},
       {a, "Info: Checking exactly " + dir_.file("a") + " children"}},
      {"NoPropagate with CheckThisPathExactly", NoPropagate | exactly,
       {"", "x.txt", "a", "a/b", "a/b/z.txt", "a/b/c", "a/b/c/y.txt", "d", "d/w.txt"},
       {a, "Info: Checking exactly " + dir_.file("a") + " children"}},
      {"CheckThisPathExactly alone", exactly, kEverything, {}},
      {"FullPath", FullPath, kEverything, {}},
  };
  for (const auto& [name, flags, visited, logs] : cases) {
    logged().take();
    const Recorder walked = commit({{"", 0, 0x1200A9, Default}, {"a", 1, 0x1F01FF, flags}, {"a\\b", 2, 0x1200A9, Default}},
                                   Walk::full);
    EXPECT_EQ(walked.visited, visited) << name;
    const std::vector<std::string> lines = logged().take();
    for (const std::string& line : logs) EXPECT_TRUE(has(lines, line)) << name << ": " << line;
    if (logs.empty()) {
      EXPECT_FALSE(has(lines, a)) << name;
    }
  }
}

TEST_F(Checker, ARepairedFolderIsWrittenEvenWhenItsListMatchesAndTheRestIsProjected) {
  const Entries entries = {{"", 0, 0x1F01FF, Default}, {"d", 1, 0x1200A9, RepaireFolder}};
  commit(entries);
  // An entry taken off behind the tool's back below a list that holds: the complete checker
  // repairs the projection below the root it did not rewrite.
  ASSERT_EQ(runProcess({"/usr/bin/setfacl", "-b", dir_.file("a/y.txt")}).exitCode, 0);
  EXPECT_EQ(commit(entries).writes, (std::map<std::string, int>{{"d", 1}}));
  EXPECT_TRUE(has(facl(dir_.file("a/y.txt")), line(0, "rwx")));
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

TEST_F(Checker, TheFastWalkChecksPathsWithEntriesTheFullOneEveryObjectAndNeitherFollowsALink) {
  std::filesystem::create_directory(outside_.file("inner"));
  const auto before = changeTimes(outside_.path());
  const Entries entries = {{"", 0, 0x1F01FF, Default}, {"a\\b", 1, 0x1200A9, Default}, {"a\\flink", 1, 0x1F01FF, Default}};
  // Only the paths with entries of their own get a list; the rest inherits.
  Recorder fast = commit(entries, Walk::fast);
  EXPECT_EQ(fast.visited, (std::set<std::string>{"", "a/b"}));
  EXPECT_EQ(fast.writes, (std::map<std::string, int>{{"", 1}, {"a/b", 1}}));
  logged().take();
  // Lists that hold are not written again.
  Recorder full = commit(entries, Walk::full);
  EXPECT_EQ(full.visited, kEverything);
  EXPECT_EQ(full.writes, (std::map<std::string, int>{}));
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
  EXPECT_EQ(facl(dir_.file("x.txt")),
            (std::vector<std::string>{"user::rw-", "group::r--", line(0, "rwx"), "mask::rwx", "other::r--"}));
  // Each link is named with where it leads; an entry on the way through one is never applied.
  const auto refused = [](const std::string& link, const std::string& target) {
    return "Warning: Cannot apply security to path " + link + ", because it points to another path " + target +
           ". Links are not allowed.";
  };
  std::vector<std::string> warnings = logged().take();
  std::erase_if(warnings, [](const std::string& l) { return !l.starts_with("Warning: "); });
  EXPECT_EQ(sorted(warnings), sorted({refused(dir_.file("link"), outside_.path()),
                                      refused(dir_.file("a/flink"), outside_.file("f"))}));
  commit({{"link\\inner", 2, 0x1F01FF, Default}}, Walk::fast);
  EXPECT_EQ(changeTimes(outside_.path()), before);
}

} // namespace
