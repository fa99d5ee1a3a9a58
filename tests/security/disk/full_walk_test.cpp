// The full walk of the checker on a real tree, as root: which objects it checks (what the
// callback is asked about), how the entry properties stop its descent, the lists it leaves,
// links refused, and its verbose log lines.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "os/text.h"
#include "runtime/log/log_manager.h"
#include "security/disk/security_checker.h"
#include "tests/security/disk/acl_lines.h"
#include "tests/support/testing.h"

using namespace DiskSecurity;
using namespace testing_support;

namespace {

struct VerboseHelper : DefaultSystemHelper {
  bool isVerbose() override { return true; }
};

// The paths the checker asks about, relative to the walked root with "/" separators.
struct VisitRecorder : Callback {
  explicit VisitRecorder(std::u16string root) : root(std::move(root)) {}
  int onPath(const std::u16string& path, bool) override {
    std::string relative = os::utf8FromUtf16(path.substr(std::min(path.size(), root.size() + 1)));
    std::replace(relative.begin(), relative.end(), '\\', '/');
    visited.insert(relative);
    return CHECK_DONE;
  }
  std::u16string root;
  std::set<std::string> visited;
};

struct LogRecorder : LogListener {
  void onException(int, const vexception&) override {}
  void onText(int, const std::u16string& text) override { lines.push_back(os::utf8FromUtf16(text)); }
  std::vector<std::string> lines;
};

LogRecorder& logged() {
  static std::shared_ptr<LogRecorder> recorder = [] {
    auto made = std::make_shared<LogRecorder>();
    LogManager::instance().addListener(made);
    return made;
  }();
  return *recorder;
}

const std::set<std::string> kEverything = {"",    "x.txt", "a",     "a/y.txt",
                                           "a/b", "a/b/z.txt", "d", "d/w.txt"};

class FullWalk : public ::testing::Test {
protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "writes trusted attributes and ACLs: needs root";
    for (auto& group : groups_) ASSERT_TRUE(group.ok());
    for (const char* dir : {"tree/a/b", "tree/d", "decoy"})
      std::filesystem::create_directories(dir_.file(dir));
    for (const char* file : {"tree/x.txt", "tree/a/y.txt", "tree/a/b/z.txt", "tree/d/w.txt"})
      writeFile(dir_.file(file), "x");
    std::filesystem::create_directory_symlink(dir_.file("decoy"), dir_.file("tree/link"));
    logged().lines.clear();
  }

  // Walks the tree with entries (sub path, group, mask, entry flags), all inheriting to files
  // and directories; returns what the checker asked about.
  std::set<std::string>
  walk(const std::vector<std::tuple<std::string, int, std::uint32_t, std::int32_t>>& list,
       bool full = true) {
    auto helper = std::make_shared<VerboseHelper>();
    EntryCollection entries(helper);
    for (const auto& [sub, group, mask, flags] : list)
      entries.insert({helper->getAccount(os::utf16FromUtf8(groups_[group].name()), u""), root(),
                      os::utf16FromUtf8(sub), 3, mask, flags, u"", u"", helper});
    VisitRecorder callback(root());
    SecurityChecker checker(callback, 1, helper);
    checker.setFullWalk(full);
    checker.checkPathSecurityByCallbackSecurityInformation(
        std::make_shared<SecurityInformation>(entries, root(), 0, checker.pathResolver(), u"",
                                              false),
        root());
    return callback.visited;
  }
  std::u16string root() const { return os::utf16FromUtf8(dir_.file("tree")); }
  std::string group(int index) const { return groups_[index].name(); }
  static bool wasLogged(const std::string& line) { return has(logged().lines, line); }
  // getfacl lists named entries by id: the groups' ids decide their order.
  static std::vector<std::string> sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  TempDir dir_;
  ScopedGroup groups_[2];
};

TEST_F(FullWalk, ChecksEveryObjectWhereTheFastWalkChecksOnlyPathsWithEntries) {
  const std::vector<std::tuple<std::string, int, std::uint32_t, std::int32_t>> entries = {
      {"", 0, 0x1F01FF, Default}, {"a\\b", 1, 0x1200A9, Default}};
  EXPECT_EQ(walk(entries, false), (std::set<std::string>{"", "a/b"}));
  EXPECT_EQ(walk(entries), kEverything);

  EXPECT_EQ(sorted(facl(dir_.file("tree/a/b"))),
            sorted({
                "user::rwx", "group::r-x", "group:" + group(0) + ":rwx",
                "group:" + group(1) + ":r-x", "mask::rwx", "other::r-x", "default:user::rwx",
                "default:group::r-x", "default:group:" + group(0) + ":rwx",
                "default:group:" + group(1) + ":r-x", "default:mask::rwx", "default:other::r-x"}));
  EXPECT_EQ(sorted(facl(dir_.file("tree/a/b/z.txt"))),
            sorted({"user::rw-", "group::r--", "group:" + group(0) + ":rwx",
                    "group:" + group(1) + ":r-x", "mask::rwx", "other::r--"}));
  EXPECT_EQ(facl(dir_.file("tree/x.txt")),
            (std::vector<std::string>{"user::rw-", "group::r--", "group:" + group(0) + ":rwx",
                                      "mask::rwx", "other::r--"}));

  // The link is refused, named with where it leads, and what it leads to keeps its list.
  const std::string link = dir_.file("tree") + "\\link";
  std::string decoy = dir_.file("decoy");
  std::replace(decoy.begin(), decoy.end(), '/', '\\');
  EXPECT_TRUE(wasLogged("Cannot apply security to path " + link +
                        ", because it points to another path " + decoy +
                        ". Links are not allowed."));
  EXPECT_EQ(facl(dir_.file("decoy")),
            (std::vector<std::string>{"user::rwx", "group::r-x", "other::r-x"}));
}

TEST_F(FullWalk, EntryPropertiesStopTheDescentBelowTheirPath) {
  constexpr std::int32_t exactly = CheckThisPathExactly;
  const struct Case {
    const char* name;
    std::int32_t flags; // of the entry at "a"; "a\b" carries an entry of its own
    std::set<std::string> visited;
    std::vector<std::string> logs; // "%s" stands for the path of "a"
  } cases[] = {
      {"SkipPath", SkipPath, {"", "x.txt", "d", "d/w.txt"},
       {"Path %s skipped because of skipPath property"}},
      {"NoPropagate", NoPropagate, {"", "x.txt", "a", "d", "d/w.txt"},
       {"No propagate security to %s children"}},
      {"SkipPath with CheckThisPathExactly", SkipPath | exactly,
       {"", "x.txt", "a/b", "a/b/z.txt", "d", "d/w.txt"},
       {"No propagate security to %s children", "Checking exactly %s children"}},
      {"NoPropagate with CheckThisPathExactly", NoPropagate | exactly,
       {"", "x.txt", "a", "a/b", "a/b/z.txt", "d", "d/w.txt"},
       {"No propagate security to %s children", "Checking exactly %s children"}},
      {"CheckThisPathExactly alone", exactly, kEverything, {}},
      {"FullPath", FullPath, kEverything, {}},
  };
  const std::string a = dir_.file("tree") + "\\a";
  for (const Case& c : cases) {
    logged().lines.clear();
    EXPECT_EQ(walk({{"", 0, 0x1200A9, Default}, {"a", 1, 0x1F01FF, c.flags},
                    {"a\\b", 1, 0x1200A9, Default}}),
              c.visited)
        << c.name;
    for (std::string line : c.logs) {
      line.replace(line.find("%s"), 2, a);
      EXPECT_TRUE(wasLogged(line)) << c.name << ": " << line;
    }
    if (c.logs.empty()) {
      EXPECT_FALSE(wasLogged("No propagate security to " + a + " children")) << c.name;
    }
  }
}

} // namespace
