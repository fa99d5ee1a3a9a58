// What the checkers decide, on a tree in memory: which objects the fast and the full walk look
// at, how entry properties stop the descent, which lists are written and repaired, what a link
// gets. What the lists do on a real file system is tested as root in security_checker_test.
#include <algorithm>
#include <set>

#include <gtest/gtest.h>

#include "os/text.h"
#include "security/disk/security_checker.h"
#include "security/disk/vocabulary.h"
#include "tests/security/disk/acl_lines.h"
#include "tests/security/disk/fake_system_helper.h"
#include "tests/support/log_lines.h"
#include "tests/security/disk/memory_secured_tree.h"
#include "tests/support/testing.h"

using namespace DiskSecurity;
using namespace testing_support;

namespace {

// The paths the checker asks about, relative to the tree's root with "/" separators.
struct VisitRecorder : Callback {
  int onPath(const std::u16string& path, bool) override {
    std::string relative = u8(path.substr(std::min<std::size_t>(path.size(), 3)));
    std::replace(relative.begin(), relative.end(), '\\', '/');
    visited.insert(relative);
    return CHECK_DONE;
  }
  std::set<std::string> visited;
};

LogLines& logged() {
  static std::shared_ptr<LogLines> lines = [] {
    auto made = std::make_shared<LogLines>();
    LogManager::instance().addListener(made);
    return made;
  }();
  return *lines;
}

const std::set<std::string> kEverything = {"",    "x.txt", "a",     "a/y.txt",
                                           "a/b", "a/b/z.txt", "d", "d/w.txt"};

class Decisions : public ::testing::Test {
protected:
  void SetUp() override {
    for (const char16_t* file : {u"x.txt", u"a\\y.txt", u"a\\b\\z.txt", u"d\\w.txt"})
      tree_.add(file, ObjectKind::file);
    tree_.add(u"link", ObjectKind::link);
    logged().take();
  }

  // Walks the tree with entries (sub path, account, mask, entry flags), all inheriting to files
  // and directories; returns what the checker asked about.
  std::set<std::string>
  walk(const std::vector<std::tuple<std::u16string, const char16_t*, std::uint32_t, std::int32_t>>&
           list,
       bool full = true, bool complete = false) {
    EntryCollection entries(std::make_shared<FakeSystemHelper>());
    for (const auto& [sub, account, mask, flags] : list)
      entries.insert({wellKnownAccount(account), u"T:", sub, 3, mask, flags, u"", u"", nullptr});
    FakeComponents components;
    VisitRecorder callback;
    auto information =
        std::make_shared<SecurityInformation>(entries, u"T:", u"", 0, components, u"", true);
    if (complete) {
      CompleteChecker(tree_, callback, nullptr, 1, true)
          .checkPathSecurityByCallbackSecurityInformation(information, u"");
    } else {
      SecurityChecker checker(tree_, callback, nullptr, 1, true);
      checker.setFullWalk(full);
      checker.checkPathSecurityByCallbackSecurityInformation(information, u"");
    }
    return callback.visited;
  }
  int writes(const std::u16string& path) { return tree_.nodes.at(path).writes; }

  MemorySecuredTree tree_;
};

TEST_F(Decisions, TheFullWalkChecksEveryObjectTheFastWalkOnlyPathsWithEntries) {
  const std::vector<std::tuple<std::u16string, const char16_t*, std::uint32_t, std::int32_t>>
      entries = {{u"", u"Everyone", 0x1F01FF, Default}, {u"a\\b", u"Users", 0x1200A9, Default}};
  EXPECT_EQ(walk(entries, false), (std::set<std::string>{"", "a/b"}));
  // Only the paths with entries of their own get a list; the rest inherits.
  EXPECT_EQ(writes(u""), 1);
  EXPECT_EQ(writes(u"a\\b"), 1);
  EXPECT_EQ(writes(u"a"), 0);
  EXPECT_EQ(walk(entries), kEverything);
  // Lists that hold are not written again.
  EXPECT_EQ(writes(u""), 1);
  EXPECT_EQ(writes(u"a\\b"), 1);
  // The link is never looked into, and is named with where it leads.
  EXPECT_TRUE(has(logged().take(), "Warning: Cannot apply security to path T:\\link, because it points to "
                       "another path T:\\elsewhere. Links are not allowed."));
}

TEST_F(Decisions, EntryPropertiesStopTheDescentBelowTheirPath) {
  constexpr std::int32_t exactly = CheckThisPathExactly;
  const struct Case {
    const char* name;
    std::int32_t flags; // of the entry at "a"; "a\b" carries an entry of its own
    std::set<std::string> visited;
    std::vector<std::string> logs;
  } cases[] = {
      {"SkipPath", SkipPath, {"", "x.txt", "d", "d/w.txt"},
       {"Info: Path T:\\a skipped because of skipPath property"}},
      {"NoPropagate", NoPropagate, {"", "x.txt", "a", "d", "d/w.txt"},
       {"Info: No propagate security to T:\\a children"}},
      {"SkipPath with CheckThisPathExactly", SkipPath | exactly,
       {"", "x.txt", "a/b", "a/b/z.txt", "d", "d/w.txt"},
       {"Info: No propagate security to T:\\a children", "Info: Checking exactly T:\\a children"}},
      {"NoPropagate with CheckThisPathExactly", NoPropagate | exactly,
       {"", "x.txt", "a", "a/b", "a/b/z.txt", "d", "d/w.txt"},
       {"Info: No propagate security to T:\\a children", "Info: Checking exactly T:\\a children"}},
      {"CheckThisPathExactly alone", exactly, kEverything, {}},
      {"FullPath", FullPath, kEverything, {}},
  };
  for (const Case& c : cases) {
    logged().take();
    EXPECT_EQ(walk({{u"", u"Everyone", 0x1200A9, Default}, {u"a", u"Users", 0x1F01FF, c.flags},
                    {u"a\\b", u"Users", 0x1200A9, Default}}),
              c.visited)
        << c.name;
    const std::vector<std::string> lines = logged().take();
    for (const std::string& line : c.logs) EXPECT_TRUE(has(lines, line)) << c.name << ": " << line;
    if (c.logs.empty()) {
      EXPECT_FALSE(has(lines, "Info: No propagate security to T:\\a children")) << c.name;
    }
  }
}

TEST_F(Decisions, ARepairedFolderIsWrittenEvenWhenItsListMatchesAndTheRestIsProjected) {
  const std::vector<std::tuple<std::u16string, const char16_t*, std::uint32_t, std::int32_t>>
      entries = {{u"", u"Everyone", 0x1F01FF, Default}, {u"d", u"Users", 0x1200A9, RepaireFolder}};
  walk(entries, false, true);
  walk(entries, false, true);
  EXPECT_EQ(writes(u""), 1);
  EXPECT_EQ(writes(u"d"), 2);
  // The complete checker repairs the projection below the root when it did not rewrite it.
  EXPECT_EQ(tree_.nodes.at(u"").repairs, 1);
}

TEST_F(Decisions, EntriesOnTheWayThroughALinkAreNeverApplied) {
  tree_.add(u"link\\inner", ObjectKind::directory);
  walk({{u"link\\inner", u"Everyone", 0x1F01FF, Default}}, false);
  EXPECT_EQ(writes(u"link\\inner"), 0);
}

} // namespace
